// One host's request budget: its size, the hold an exchange asked for, and the log of recent
// grants, as plain data, so that it can live in this process's memory or in a region shared by
// every process that shares budgets. The functions here run under the lock that guards it.
//
// The promise: in any interval of one period, the grants weigh at most `units` together. Each
// grant counts from the moment it was recorded, which is never earlier than the start it stands
// for, until a period later; a start is allowed only when the grants still counting, with its
// own weight, fit. That is a sliding window over the log, so it holds for fixed windows too (a
// token bucket would let twice the budget into one window).
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

  struct Grant {
    SteadyTime at;
    uint64_t weight;
  };

  int32_t units;  // 0: no budget
  int32_t periodMs;
  SteadyTime holdUntil;  // no start before this; 0 when not held
  uint32_t grantCount;
  Grant grants[kGrantCapacity];  // in the order recorded, which is time order
};
static_assert(std::is_trivially_copyable_v<BudgetLedger>);

// Sets or (units 0) removes the budget. A removed budget forgets its grants and its hold; a
// changed one keeps them, so a lowered budget counts what already started.
void SetBudget(BudgetLedger& ledger, int32_t units, int32_t periodMs);

// The earliest time at or after now at which a start of `weight` would fit, or kNeverTime when it
// never can (a weight above the budget). With no budget, now.
SteadyTime EarliestStart(BudgetLedger& ledger, uint64_t weight, SteadyTime now);

// Records a start of `weight` at now, which must be a time EarliestStart allowed.
void RecordGrant(BudgetLedger& ledger, uint64_t weight, SteadyTime now);

// Units a start could take now: 0 while held.
uint64_t UnitsLeft(BudgetLedger& ledger, SteadyTime now);

// Puts a ledger that a crashed process may have left half-written back into a consistent state;
// whatever cannot be trusted is made stricter, never looser.
void RepairLedger(BudgetLedger& ledger, SteadyTime now);

}  // namespace ksrn
