// The sliding-window budget over a bounded log of grants.
#include "engine/budget_ledger.h"

#include <algorithm>

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

uint64_t Counting(const BudgetLedger& ledger) {
  uint64_t sum = 0;
  for (uint32_t i = 0; i < ledger.grantCount; ++i) {
    sum += ledger.grants[i].weight;
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

SteadyTime EarliestStart(BudgetLedger& ledger, uint64_t weight, SteadyTime now) {
  if (ledger.units == 0) {
    return now;
  }
  if (weight > static_cast<uint64_t>(ledger.units)) {
    return kNeverTime;
  }
  const SteadyTime from = std::max(now, ledger.holdUntil);
  Expire(ledger, now);
  // Oldest first, the grants stop counting; the start fits once enough of them have.
  uint64_t counting = Counting(ledger);
  const uint64_t room = static_cast<uint64_t>(ledger.units) - weight;
  SteadyTime fitsAt = now;
  for (uint32_t i = 0; i < ledger.grantCount && counting > room; ++i) {
    counting -= ledger.grants[i].weight;
    fitsAt = ledger.grants[i].at + PeriodNs(ledger);
  }
  return std::max(from, fitsAt);
}

void RecordGrant(BudgetLedger& ledger, uint64_t weight, SteadyTime now) {
  if (ledger.units == 0) {
    return;
  }
  if (ledger.grantCount > 0) {
    BudgetLedger::Grant& newest = ledger.grants[ledger.grantCount - 1];
    if (now - newest.at <= MergeSpanNs(ledger)) {
      newest.at = std::max(newest.at, now);
      newest.weight += weight;
      return;
    }
  }
  if (ledger.grantCount == BudgetLedger::kGrantCapacity) {
    MergeClosest(ledger);
  }
  ledger.grants[ledger.grantCount++] = {now, weight};
}

uint64_t UnitsLeft(BudgetLedger& ledger, SteadyTime now) {
  if (ledger.units == 0 || ledger.holdUntil > now) {
    return 0;
  }
  Expire(ledger, now);
  const uint64_t counting = Counting(ledger);
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
}

}  // namespace ksrn
