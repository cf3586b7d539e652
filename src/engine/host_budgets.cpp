// The engine's budget table, in this process or shared by name.
#include "engine/host_budgets.h"

#include <algorithm>
#include <system_error>

#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// The shared region's layout: a ledger per allowlisted host, in the list's order. The version
// changes with any change of this layout or of BudgetLedger.
struct SharedBudgets {
  std::array<BudgetLedger, kExchangeHostCount> hosts;
};
constexpr uint32_t kSharedBudgetsVersion = 1;
constexpr int kFlightSlots = static_cast<int>(BudgetLedger::kFlightCapacity);

// Takes the region's lock for a scope; a holder that died may have left any ledger half-written.
class SCOPED_CAPABILITY RegionLock {
 public:
  explicit RegionLock(SharedRegion& region) ACQUIRE(region) : region(region) {
    if (region.Lock()) {
      const SteadyTime now = SteadyNow();
      for (BudgetLedger& ledger : Ledgers(region)) {
        RepairLedger(ledger, now);
      }
    }
  }
  ~RegionLock() RELEASE() { region.Unlock(); }
  RegionLock(const RegionLock&) = delete;
  RegionLock& operator=(const RegionLock&) = delete;

  static std::array<BudgetLedger, kExchangeHostCount>& Ledgers(SharedRegion& region) {
    return static_cast<SharedBudgets*>(region.Data())->hosts;
  }

 private:
  SharedRegion& region;
};

}  // namespace

template <class F>
auto HostBudgets::WithLedger(int host, F f) {
  MutexLock lock(localMutex);
  if (!shared) {
    return f(local[static_cast<size_t>(host)]);
  }
  RegionLock regionLock(*shared);
  return f(RegionLock::Ledgers(*shared)[static_cast<size_t>(host)]);
}

void HostBudgets::Set(int host, int32_t units, int32_t periodMs) {
  WithLedger(host, [&](BudgetLedger& ledger) { SetBudget(ledger, units, periodMs); });
  inUse.store(true);
}

int32_t HostBudgets::Units(int host) {
  return WithLedger(host, [](BudgetLedger& ledger) { return ledger.units; });
}

int32_t HostBudgets::PeriodMs(int host) {
  return WithLedger(host, [](BudgetLedger& ledger) { return ledger.periodMs; });
}

// What this engine set and started before sharing counts in the shared ledgers too: its budgets
// replace the shared ones, its grants are added, the later of the two holds stays.
uint32_t HostBudgets::Share(std::string_view name) {
  uint32_t error = kErrorSuccess;
  std::unique_ptr<SharedRegion> region =
      SharedRegion::Open(name, sizeof(SharedBudgets), kSharedBudgetsVersion, error);
  if (!region) {
    return error;
  }
  MutexLock lock(localMutex);
  {
    RegionLock regionLock(*region);
    auto& ledgers = RegionLock::Ledgers(*region);
    const auto& own = shared ? RegionLock::Ledgers(*shared) : local;
    for (size_t host = 0; host < kExchangeHostCount; ++host) {
      const BudgetLedger& from = own[host];
      BudgetLedger& into = ledgers[host];
      if (from.units == 0) {
        continue;
      }
      SetBudget(into, from.units, from.periodMs);
      into.holdUntil = std::max(into.holdUntil, from.holdUntil);
      for (uint32_t i = 0; i < from.grantCount; ++i) {
        RecordGrant(into, from.grants[i].weight, from.grants[i].at);
      }
      // Requests in flight here count there as written now; their own landing later records
      // them again, which only counts them longer.
      for (const BudgetLedger::Flight& flight : from.flights) {
        if (flight.weight != 0) {
          RecordGrant(into, flight.weight, SteadyNow());
        }
      }
    }
  }
  shared = std::move(region);
  tableGeneration.fetch_add(1);
  inUse.store(true);
  return kErrorSuccess;
}

bool HostBudgets::Reserve(int host, uint64_t weight, SteadyTime now, SteadyTime& retryAt) {
  std::atomic<uint64_t>& mine = reserved[static_cast<size_t>(host)];
  try {
    return WithLedger(host, [&](BudgetLedger& ledger) {
      // With this process's reservations it would not fit in one window: they become flights in
      // the start gate, which then wakes the workers; until then a lower bound, looked at again
      // after a moment at the latest.
      const uint64_t together = mine.load() + weight;
      if (ledger.units != 0 && together > static_cast<uint64_t>(ledger.units)) {
        retryAt = std::max(EarliestStart(ledger, weight, now), now + kNanosecondsPerMillisecond);
        return false;
      }
      retryAt = EarliestStart(ledger, together, now);
      if (retryAt > now) {
        return false;
      }
      mine.fetch_add(weight);
      return true;
    });
  } catch (const std::system_error&) {
    retryAt = kNeverTime;
    return false;
  }
}

// Exact while the records ahead and this one fit in one window together; beyond that only a
// lower bound, so that a record is never refused as hopeless when it is not.
SteadyTime HostBudgets::EarliestFor(int host, uint64_t weight, uint64_t ahead, SteadyTime now) {
  const uint64_t mine = reserved[static_cast<size_t>(host)].load();
  try {
    return WithLedger(host, [&](BudgetLedger& ledger) {
      const uint64_t together = mine + ahead + weight;
      return EarliestStart(
          ledger, together <= static_cast<uint64_t>(ledger.units) ? together : weight, now);
    });
  } catch (const std::system_error&) {
    return kNeverTime;
  }
}

void HostBudgets::Unreserve(int host, uint64_t weight) {
  reserved[static_cast<size_t>(host)].fetch_sub(weight);
}

bool HostBudgets::Take(int host, uint64_t weight, SteadyTime now, SteadyTime deadline, int& flight,
                       SteadyTime& retryAt) {
  try {
    return WithLedger(host, [&](BudgetLedger& ledger) {
      const int slot = TakeFlight(ledger, weight, now, deadline, retryAt);
      if (retryAt > now) {
        return false;
      }
      flight = slot < 0 ? -1 : tableGeneration.load() * kFlightSlots + slot;
      reserved[static_cast<size_t>(host)].fetch_sub(weight);
      return true;
    });
  } catch (const std::system_error&) {
    retryAt = kNeverTime;
    return false;
  }
}

void HostBudgets::Land(int host, int flight, uint64_t weight, SteadyTime readAt) {
  try {
    WithLedger(host, [&](BudgetLedger& ledger) {
      const bool sameTable = flight >= 0 && flight / kFlightSlots == tableGeneration.load();
      LandFlight(ledger, sameTable ? flight % kFlightSlots : -1, weight, readAt);
    });
  } catch (const std::system_error&) {
    // The flight counts until a period after its deadline instead.
  }
}

bool HostBudgets::Hold(int host, SteadyTime until) {
  return WithLedger(host, [&](BudgetLedger& ledger) {
    if (ledger.units == 0) {
      return false;
    }
    ledger.holdUntil = std::max(ledger.holdUntil, until);
    return true;
  });
}

int64_t HostBudgets::HoldLeftMs(int host, SteadyTime now) {
  const SteadyTime until = WithLedger(host, [](BudgetLedger& ledger) { return ledger.holdUntil; });
  if (until <= now) {
    return 0;
  }
  return (until - now + kNanosecondsPerMillisecond - 1) / kNanosecondsPerMillisecond;
}

uint64_t HostBudgets::UnitsLeft(int host, SteadyTime now) {
  const uint64_t mine = reserved[static_cast<size_t>(host)].load();
  const uint64_t left =
      WithLedger(host, [&](BudgetLedger& ledger) { return ksrn::UnitsLeft(ledger, now); });
  return left > mine ? left - mine : 0;
}

}  // namespace ksrn
