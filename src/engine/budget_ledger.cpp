// The sliding-window budget over a bounded log of grants.
#include "engine/budget_ledger.h"

#include <algorithm>
#include <array>

#include "platform/limits.h"

namespace ksrn {
namespace {

int64_t PeriodNs(const BudgetLedger& ledger) {
  return static_cast<int64_t>(ledger.periodMs) * kNanosecondsPerMillisecond;
}

// Grants within this much of the newest one share its entry, which keeps the log at about one
// entry per 1/128 of a period however fast requests start.
int64_t MergeSpanNs(const BudgetLedger& ledger) {
  return std::max<int64_t>(kNanosecondsPerMillisecond, PeriodNs(ledger) / 128);
}

// Drops the grants that no longer count: a grant recorded at t counts while now < t + period.
void Expire(BudgetLedger& ledger, SteadyTime now) {
  const int64_t period = PeriodNs(ledger);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < ledger.grantCount; ++i) {
    if (ledger.grants[i].at + period > now) {
      ledger.grants[kept++] = ledger.grants[i];
    }
  }
  ledger.grantCount = kept;
}

// A flight counts until it lands, or until a period after its deadline when its process died.
bool IsFlying(const BudgetLedger::Flight& flight, int64_t period, SteadyTime now) {
  return flight.weight != 0 && flight.deadline + period > now;
}

uint64_t Counting(const BudgetLedger& ledger, SteadyTime now) {
  uint64_t sum = 0;
  for (uint32_t i = 0; i < ledger.grantCount; ++i) {
    sum += ledger.grants[i].weight;
  }
  for (const BudgetLedger::Flight& flight : ledger.flights) {
    sum += IsFlying(flight, PeriodNs(ledger), now) ? flight.weight : 0;
  }
  return sum;
}

// Merges the two neighbouring entries closest in time into the later one.
void MergeClosest(BudgetLedger& ledger) {
  uint32_t best = 0;
  for (uint32_t i = 1; i + 1 < ledger.grantCount; ++i) {
    if (ledger.grants[i + 1].at - ledger.grants[i].at <
        ledger.grants[best + 1].at - ledger.grants[best].at) {
      best = i;
    }
  }
  ledger.grants[best + 1].weight += ledger.grants[best].weight;
  std::copy(ledger.grants + best + 1, ledger.grants + ledger.grantCount, ledger.grants + best);
  --ledger.grantCount;
}

}  // namespace

void SetBudget(BudgetLedger& ledger, int32_t units, int32_t periodMs) {
  if (units == 0) {
    ledger = BudgetLedger{};
    return;
  }
  ledger.units = units;
  ledger.periodMs = periodMs;
}

// Whatever counts now stops counting in order: a grant a period after it was recorded, a flight
// no sooner than a period after its start (it lands when its request is written, later than
// that). The answer is therefore never later than the truth, and a caller that waits until then
// looks again.
SteadyTime EarliestStart(BudgetLedger& ledger, uint64_t weight, SteadyTime now) {
  if (ledger.units == 0) {
    return now;
  }
  if (weight > static_cast<uint64_t>(ledger.units)) {
    return kNeverTime;
  }
  const SteadyTime from = std::max(now, ledger.holdUntil);
  Expire(ledger, now);
  uint64_t counting = Counting(ledger, now);
  const uint64_t room = static_cast<uint64_t>(ledger.units) - weight;
  if (counting <= room) {
    return from;
  }
  const int64_t period = PeriodNs(ledger);
  std::array<BudgetLedger::Grant, BudgetLedger::kGrantCapacity + BudgetLedger::kFlightCapacity>
      ends;
  size_t count = 0;
  for (uint32_t i = 0; i < ledger.grantCount; ++i) {
    ends[count++] = {ledger.grants[i].at + period, ledger.grants[i].weight};
  }
  for (const BudgetLedger::Flight& flight : ledger.flights) {
    if (IsFlying(flight, period, now)) {
      // One that should have landed by now is looked at again soon.
      ends[count++] = {std::max(flight.startedAt + period, now + MergeSpanNs(ledger)),
                       flight.weight};
    }
  }
  std::sort(ends.begin(), ends.begin() + static_cast<ptrdiff_t>(count),
            [](const auto& a, const auto& b) { return a.at < b.at; });
  SteadyTime fitsAt = now;
  for (size_t i = 0; i < count && counting > room; ++i) {
    counting -= ends[i].weight;
    fitsAt = ends[i].at;
  }
  return std::max(from, fitsAt);
}

int TakeFlight(BudgetLedger& ledger, uint64_t weight, SteadyTime now, SteadyTime deadline,
               SteadyTime& retryAt) {
  retryAt = EarliestStart(ledger, weight, now);
  if (ledger.units == 0 || retryAt > now) {
    return -1;
  }
  const int64_t period = PeriodNs(ledger);
  for (size_t slot = 0; slot < BudgetLedger::kFlightCapacity; ++slot) {
    BudgetLedger::Flight& flight = ledger.flights[slot];
    if (!IsFlying(flight, period, now)) {
      flight = {now, std::max(deadline, now), weight};
      return static_cast<int>(slot);
    }
  }
  // Every slot flies: one lands within a moment.
  retryAt = now + kNanosecondsPerMillisecond;
  return -1;
}

void LandFlight(BudgetLedger& ledger, int slot, uint64_t weight, SteadyTime readAt) {
  if (ledger.units == 0) {
    return;
  }
  if (slot >= 0 && static_cast<size_t>(slot) < BudgetLedger::kFlightCapacity) {
    ledger.flights[slot].weight = 0;
  }
  RecordGrant(ledger, weight, readAt);
}

void RecordGrant(BudgetLedger& ledger, uint64_t weight, SteadyTime at) {
  if (ledger.units == 0) {
    return;
  }
  if (ledger.grantCount > 0) {
    BudgetLedger::Grant& newest = ledger.grants[ledger.grantCount - 1];
    if (at - newest.at <= MergeSpanNs(ledger)) {
      newest.at = std::max(newest.at, at);
      newest.weight += weight;
      return;
    }
  }
  if (ledger.grantCount == BudgetLedger::kGrantCapacity) {
    MergeClosest(ledger);
  }
  ledger.grants[ledger.grantCount++] = {at, weight};
}

uint64_t UnitsLeft(BudgetLedger& ledger, SteadyTime now) {
  if (ledger.units == 0 || ledger.holdUntil > now) {
    return 0;
  }
  Expire(ledger, now);
  const uint64_t counting = Counting(ledger, now);
  const auto units = static_cast<uint64_t>(ledger.units);
  return counting >= units ? 0 : units - counting;
}

void RepairLedger(BudgetLedger& ledger, SteadyTime now) {
  if (ledger.units < 0 || ledger.units > kMaxBudgetUnits) {
    ledger.units = 1;
  }
  if (ledger.periodMs < 1 || ledger.periodMs > kMaxBudgetPeriodMs) {
    ledger.periodMs = kMaxBudgetPeriodMs;
  }
  ledger.grantCount = std::min<uint32_t>(ledger.grantCount, BudgetLedger::kGrantCapacity);
  // A grant cut short by the crash counts from now with the largest weight it could have had.
  for (uint32_t i = 0; i < ledger.grantCount; ++i) {
    BudgetLedger::Grant& grant = ledger.grants[i];
    if (grant.at <= 0 || grant.at > now) {
      grant.at = now;
    }
    grant.weight = std::clamp<uint64_t>(grant.weight, 1, static_cast<uint64_t>(kMaxBudgetUnits));
  }
  std::stable_sort(ledger.grants, ledger.grants + ledger.grantCount,
                   [](const auto& a, const auto& b) { return a.at < b.at; });
  for (BudgetLedger::Flight& flight : ledger.flights) {
    if (flight.weight != 0) {
      flight.weight =
          std::clamp<uint64_t>(flight.weight, 1, static_cast<uint64_t>(kMaxBudgetUnits));
      flight.startedAt = std::min(flight.startedAt, now);
      // A deadline is never further ahead than the longest time budget; a later one is garbage.
      flight.deadline = std::clamp(flight.deadline, flight.startedAt,
                                   now + kMaxTimeoutMs * kNanosecondsPerMillisecond);
    }
  }
}

}  // namespace ksrn
