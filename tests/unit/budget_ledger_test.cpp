// The budget ledger's promise on simulated time, and reading Retry-After.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/budget_ledger.h"
#include "engine/retry_after.h"

namespace ksrn {
namespace {

constexpr SteadyTime kMs = kNanosecondsPerMillisecond;

struct Start {
  SteadyTime at;
  uint64_t weight;
};

// Starts as many requests as arrive, each at the earliest time its weight fits, and checks that
// no interval of one period holds more than the budget: the heaviest such interval begins at a
// start.
void CheckWindows(int32_t units, int32_t periodMs, int count, uint64_t maxWeight,
                  SteadyTime meanGapNs) {
  BudgetLedger ledger{};
  SetBudget(ledger, units, periodMs);
  std::mt19937_64 random(42);
  std::uniform_int_distribution<uint64_t> weights(1, maxWeight);
  std::exponential_distribution<double> gaps(1.0 / static_cast<double>(meanGapNs));
  std::vector<Start> starts;
  SteadyTime now = 1000 * kMs;
  for (int i = 0; i < count; ++i) {
    now += static_cast<SteadyTime>(gaps(random));
    const uint64_t weight = weights(random);
    now = EarliestStart(ledger, weight, now);
    ASSERT_NE(now, kNeverTime);
    RecordGrant(ledger, weight, now);
    starts.push_back({now, weight});
  }
  const SteadyTime period = periodMs * kMs;
  uint64_t heaviest = 0;
  for (size_t first = 0, last = 0; first < starts.size(); ++first) {
    uint64_t sum = 0;
    for (last = first; last < starts.size() && starts[last].at < starts[first].at + period;
         ++last) {
      sum += starts[last].weight;
    }
    heaviest = std::max(heaviest, sum);
  }
  EXPECT_LE(heaviest, static_cast<uint64_t>(units));
  EXPECT_GE(heaviest, static_cast<uint64_t>(units) * 9 / 10) << "the budget was not used";
}

TEST(BudgetLedgerTest, NoIntervalOfAPeriodHoldsMoreThanTheBudget) {
  CheckWindows(10, 1000, 2000, 1, 20 * kMs);      // steady pressure
  CheckWindows(50, 1000, 3000, 5, 1 * kMs);       // weights, bursts
  CheckWindows(1000, 1000, 20000, 1, 100'000);    // more grants than the log holds
  CheckWindows(1, 60'000, 200, 1, 10'000 * kMs);  // one per minute
}

TEST(BudgetLedgerTest, BurstAfterQuietAndLimits) {
  BudgetLedger ledger{};
  SetBudget(ledger, 3, 1000);
  const SteadyTime now = 5000 * kMs;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(EarliestStart(ledger, 1, now), now) << "a burst up to the budget starts at once";
    RecordGrant(ledger, 1, now);
  }
  EXPECT_EQ(UnitsLeft(ledger, now), 0u);
  EXPECT_EQ(EarliestStart(ledger, 1, now), now + 1000 * kMs);
  EXPECT_EQ(EarliestStart(ledger, 4, now), kNeverTime) << "heavier than the budget";
  ledger.holdUntil = now + 5000 * kMs;
  EXPECT_EQ(EarliestStart(ledger, 1, now), now + 5000 * kMs);
  EXPECT_EQ(UnitsLeft(ledger, now + 2000 * kMs), 0u) << "held";
  SetBudget(ledger, 0, 0);
  EXPECT_EQ(EarliestStart(ledger, 100, now), now) << "removed with its hold";
}

TEST(BudgetLedgerTest, AFlightCountsUntilItLandsThenForAPeriod) {
  BudgetLedger ledger{};
  SetBudget(ledger, 1, 1000);
  const SteadyTime start = 1000 * kMs;
  SteadyTime retryAt = 0;
  const int slot = TakeFlight(ledger, 1, start, start + 5000 * kMs, retryAt);
  ASSERT_GE(slot, 0);
  EXPECT_EQ(TakeFlight(ledger, 1, start + 1500 * kMs, start + 9000 * kMs, retryAt), -1)
      << "still in the air after a period: it counts";
  EXPECT_GT(retryAt, start + 1500 * kMs);
  LandFlight(ledger, slot, 1, start + 2000 * kMs);
  EXPECT_EQ(EarliestStart(ledger, 1, start + 2500 * kMs), start + 3000 * kMs)
      << "a period from its landing, not from its start";
  const int lost = TakeFlight(ledger, 1, start + 3000 * kMs, start + 4000 * kMs, retryAt);
  ASSERT_GE(lost, 0) << "taken by a process that dies before landing it";
  EXPECT_GT(EarliestStart(ledger, 1, start + 4999 * kMs), start + 4999 * kMs);
  EXPECT_EQ(EarliestStart(ledger, 1, start + 5000 * kMs), start + 5000 * kMs)
      << "a period after its deadline it no longer counts";
}

TEST(BudgetLedgerTest, RepairMakesAHalfWrittenLedgerSafe) {
  BudgetLedger ledger{};
  SetBudget(ledger, 5, 1000);
  ledger.grantCount = 100000;
  const SteadyTime now = 9000 * kMs;
  RepairLedger(ledger, now);
  EXPECT_LE(ledger.grantCount, BudgetLedger::kGrantCapacity);
  EXPECT_EQ(UnitsLeft(ledger, now), 0u) << "unknown grants count as taken";
  EXPECT_EQ(UnitsLeft(ledger, now + 1000 * kMs), 5u) << "and expire a period later";
}

TEST(RetryAfterTest, ReadsSecondsAndDates) {
  const int64_t now = 784111777000;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Case {
    const char* head;
    std::optional<int64_t> waitMs;
  } cases[] = {
      {"HTTP/1.1 429 x\r\nRetry-After: 2\r\n\r\n", 2000},
      {"HTTP/1.1 429 x\r\nretry-after:\t120 \r\n\r\n", 120000},
      {"HTTP/1.1 503 x\r\nRetry-After: Sun, 06 Nov 1994 08:51:37 GMT\r\n\r\n", 120000},
      {"HTTP/1.1 503 x\r\nRetry-After: Sun, 06 Nov 1994 08:00:00 GMT\r\n\r\n", 0},
      {"HTTP/1.1 429 x\r\nRetry-After: 99999999999999999999\r\n\r\n", 30LL * 24 * 3600 * 1000},
      {"HTTP/1.1 429 x\r\nRetry-After: soon\r\n\r\n", std::nullopt},
      {"HTTP/1.1 429 x\r\nRetry-After: -1\r\n\r\n", std::nullopt},
      {"HTTP/1.1 429 x\r\nX-Retry-After: 5\r\n\r\n", std::nullopt},
      {"HTTP/1.1 429 x\r\n\r\n", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RetryAfterMs(c.head, now), c.waitMs) << c.head;
  }
}

}  // namespace
}  // namespace ksrn
