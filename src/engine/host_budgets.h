// The per-host request budgets of one engine: a ledger per allowlisted host, kept in this
// process or, once shared by name, in a region every process of the user that names it uses.
//
// A start takes its units in three steps, so that the four running places are never spent
// waiting for units and the budget counts each request until it has reached the exchange: a
// worker reserves them as it takes the record from the queue (only if they are there now,
// counting what the process has reserved already), the start gate turns the reservation into a
// flight of the ledger when the start happens, and the worker lands the flight as a grant once
// the exchange has certainly read the request. Reservations are this process's own and die with it;
// flights die a period after their deadline. Only another process can take the units between the
// first two steps; the start then waits for them in the gate.
//
// Locks: localMutex, then the shared region's lock; both are leaves, taken under engineMutex or
// dispatchMutex and never the other way round.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/budget_ledger.h"
#include "platform/mutex.h"
#include "platform/shared_region.h"
#include "validate/exchange_hosts.h"

namespace ksrn {

class HostBudgets {
 public:
  HostBudgets() = default;
  HostBudgets(const HostBudgets&) = delete;
  HostBudgets& operator=(const HostBudgets&) = delete;

  // False until a budget is set or budgets are shared: every start then takes today's path.
  bool InUse() const { return inUse.load(); }

  // units 0 removes the host's budget. The caller checked the ranges.
  void Set(int host, int32_t units, int32_t periodMs);
  // The host's budget size, 0 for none, and its period.
  int32_t Units(int host);
  int32_t PeriodMs(int host);
  // Moves this engine's budgets into the region `name`, shared from then on. Returns 0 or the
  // region's refusal (5, 1306, 8, 31).
  uint32_t Share(std::string_view name);

  // Reserves weight for a start now, counting this process's earlier reservations; false with
  // the earliest time it could fit in retryAt (kNeverTime: never; a lower bound, at least a
  // moment ahead, while this process's reservations are in the way). A ledger that cannot be
  // read (the shared lock is broken) has nothing to give.
  bool Reserve(int host, uint64_t weight, SteadyTime now, SteadyTime& retryAt);
  // The earliest time weight could start after `ahead` units queued before it, reserving
  // nothing; never later than the truth.
  SteadyTime EarliestFor(int host, uint64_t weight, uint64_t ahead, SteadyTime now);
  void Unreserve(int host, uint64_t weight);
  // Turns a reservation into a flight started at now that counts until it lands (flight: its
  // slot, -1 when the host has no budget and nothing is counted); false, keeping the
  // reservation, with retryAt as for Reserve when another process took the units meanwhile.
  bool Take(int host, uint64_t weight, SteadyTime now, SteadyTime deadline, int& flight,
            SteadyTime& retryAt);
  // Lands a flight as a grant recorded at readAt: when the exchange has certainly read its
  // request (the first byte of the answer), or any later moment.
  void Land(int host, int flight, uint64_t weight, SteadyTime readAt);

  // No start to a budgeted host before until; nothing for a host without a budget. True when
  // the hold was applied.
  bool Hold(int host, SteadyTime until);
  // Milliseconds left of the host's hold, rounded up; 0 for none.
  int64_t HoldLeftMs(int host, SteadyTime now);
  uint64_t UnitsLeft(int host, SteadyTime now);

 private:
  // Runs f on the host's ledger under its locks.
  template <class F>
  auto WithLedger(int host, F f);

  std::atomic<bool> inUse{false};
  Mutex localMutex;
  std::array<BudgetLedger, kExchangeHostCount> local GUARDED_BY(localMutex){};
  std::unique_ptr<SharedRegion> shared GUARDED_BY(localMutex);
  // One more at every Share (under localMutex), and part of every flight handed out, so that a
  // flight taken in the table used before lands in the new one as a grant only, freeing no slot.
  std::atomic<int> tableGeneration{0};
  // Units this process has reserved per host and not yet granted or given back.
  std::array<std::atomic<uint64_t>, kExchangeHostCount> reserved{};
};

}  // namespace ksrn
