// One host's request budget: its size, the hold an exchange asked for, and the log of recent
// grants, as plain data, so that it can live in this process's memory or in a region shared by
// every process that shares budgets. The functions here run under the lock that guards it.
//
// The promise: in any interval of one period, the requests started weigh at most `units`
// together, and so do those that reach the exchange, whose connection set-ups may take longer or
// shorter. A start takes a flight, which counts in full until its request has been read; the
// flight then lands as a grant recorded once the exchange has certainly read the request (the
// first byte of its answer), which counts for one more period. A start
// is allowed only when the flights and the grants still counting, with its own weight, fit. That
// is a sliding window over the log, so it holds for fixed windows too (a token bucket would let
// twice the budget into one window).
//
// A flight carries the deadline of its request: one whose process died before landing it stops
// counting a period after that deadline, so a killed process never holds a host for longer.
//
// The log is bounded: grants close together share an entry, and when the log is full the two
// closest entries merge. Either way the merged entry takes the later time, so a grant may count
// a little longer than it should, never shorter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "platform/steady_clock.h"

namespace ksrn {

inline constexpr int32_t kMaxBudgetUnits = 1'000'000;
inline constexpr int32_t kMaxBudgetPeriodMs = 3'600'000;
inline constexpr SteadyTime kNeverTime = std::numeric_limits<SteadyTime>::max();

struct BudgetLedger {
  static constexpr size_t kGrantCapacity = 256;
  // Requests started and not yet read by the exchange, of every process sharing the ledger: each
  // process runs at most four at once.
  static constexpr size_t kFlightCapacity = 64;

  struct Grant {
    SteadyTime at;
    uint64_t weight;
  };
  struct Flight {
    SteadyTime startedAt;
    SteadyTime deadline;
    uint64_t weight;  // 0: a free slot
  };

  int32_t units;  // 0: no budget
  int32_t periodMs;
  SteadyTime holdUntil;  // no start before this; 0 when not held
  uint32_t grantCount;
  Grant grants[kGrantCapacity];  // in the order recorded, which is time order
  Flight flights[kFlightCapacity];
};
static_assert(std::is_trivially_copyable_v<BudgetLedger>);

// Sets or (units 0) removes the budget. A removed budget forgets its grants and its hold; a
// changed one keeps them, so a lowered budget counts what already started.
void SetBudget(BudgetLedger& ledger, int32_t units, int32_t periodMs);

// The earliest time at or after now at which a start of `weight` would fit, or kNeverTime when it
// never can (a weight above the budget). With no budget, now.
SteadyTime EarliestStart(BudgetLedger& ledger, uint64_t weight, SteadyTime now);

// Starts a flight of `weight` at now when EarliestStart allows it and a slot is free: its slot,
// or -1 (retryAt then says when to look again). With no budget, -1 and retryAt now: nothing to
// count.
int TakeFlight(BudgetLedger& ledger, uint64_t weight, SteadyTime now, SteadyTime deadline,
               SteadyTime& retryAt);
// Lands the flight in `slot` as a grant recorded at readAt (no earlier than the exchange read
// its request).
void LandFlight(BudgetLedger& ledger, int slot, uint64_t weight, SteadyTime readAt);
// Records a grant of `weight` at `at`; a grant earlier than the newest one shares its entry.
void RecordGrant(BudgetLedger& ledger, uint64_t weight, SteadyTime at);

// Units a start could take now: 0 while held.
uint64_t UnitsLeft(BudgetLedger& ledger, SteadyTime now);

// Puts a ledger that a crashed process may have left half-written back into a consistent state;
// whatever cannot be trusted is made stricter, never looser.
void RepairLedger(BudgetLedger& ledger, SteadyTime now);

}  // namespace ksrn
