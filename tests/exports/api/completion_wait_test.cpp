// KSRN_WaitForCompletion: its answers, that a wait ends on a publication and on a shutdown, and
// that waiters racing completions never miss one.
#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

// A wait that comes back with the count it was given ran out of time.
constexpr int32_t kWaitMs = 60000;

TEST_F(ExportTest, WaitForCompletionAnswers) {
  const int32_t count = api.WaitForCompletion(0, kWaitMs);
  ASSERT_GT(count, 0) << "seen 0 is never a count, so the call returns at once";
  const std::vector<ExportCall> rows = {
      {"negative time-out", [&] { return api.WaitForCompletion(count, -1); }, {0, 87}},
      {"nothing new, time-out 0", [&] { return api.WaitForCompletion(count, 0); }, {count, 0}},
      {"nothing new, 50 ms", [&] { return api.WaitForCompletion(count, 50); }, {count, 0}},
      {"a count not seen", [&] { return api.WaitForCompletion(count + 1, kWaitMs); }, {count, 0}},
  };
  for (const ExportCall& row : rows) {
    EXPECT_EQ(Answered(row.call()), row.expected) << row.name;
  }
}

TEST_F(ExportTest, WaitEndsWhenARequestIsPublished) {
  int32_t seen = api.WaitForCompletion(0, 0);
  const int32_t id = api.Get(BenchUrl("api.binance.com", "/bytes/1").c_str(), kFinishMs);
  ASSERT_NE(id, 0);
  // Each wait ends because the count moved; the request is ready by the time it has.
  for (int round = 0; round < 10 && api.IsReady(id) == 0; ++round) {
    const int32_t count = api.WaitForCompletion(seen, kWaitMs);
    ASSERT_NE(count, seen) << "timed out with the request still running";
    seen = count;
  }
  EXPECT_EQ(api.IsReady(id), 1);
}

TEST_F(ExportTest, ShutdownWakesAWaiterAndDoesNotWaitForIt) {
  const int32_t seen = api.WaitForCompletion(0, 0);
  std::future<Answer> waiter = std::async(
      std::launch::async, [&] { return Answered(api.WaitForCompletion(seen, 10 * kWaitMs)); });
  // Gives the waiter time to be asleep; the test holds whether it is or not.
  KsrnSleepMs(100);
  ASSERT_EQ(Answered(api.Shutdown()), (Answer{1, 0}));
  ASSERT_EQ(waiter.wait_for(60s), std::future_status::ready) << "the shutdown woke no one";
  const Answer woken = waiter.get();
  EXPECT_NE(woken.value, seen);
  EXPECT_EQ(woken.error, 0u);
  EXPECT_EQ(Answered(api.Init(1)), (Answer{1, 0}));
}

// Waiters that check their requests after every wake-up see all of them finish, and never run
// out of time while one is left: a publication between a check and the next wait is not lost.
TEST_F(ExportTest, WaitersNeverMissACompletion) {
  constexpr int kRounds = 20;
  constexpr int kRequests = 8;
  constexpr int kWaiters = 3;
  const Text url = BenchUrl("api.kraken.com", "/bytes/1");
  for (int round = 0; round < kRounds; ++round) {
    std::vector<int32_t> ids;
    std::atomic<bool> submitted{false};
    std::vector<std::future<bool>> waiters;
    for (int w = 0; w < kWaiters; ++w) {
      waiters.push_back(std::async(std::launch::async, [&] {
        int32_t seen = api.WaitForCompletion(0, 0);
        for (;;) {
          const bool all = submitted.load() && std::all_of(ids.begin(), ids.end(), [&](int32_t id) {
                             return api.IsReady(id) == 1;
                           });
          if (all) {
            return true;
          }
          const int32_t count = api.WaitForCompletion(seen, kWaitMs);
          if (count == seen) {
            return false;
          }
          seen = count;
        }
      }));
    }
    for (int i = 0; i < kRequests; ++i) {
      ids.push_back(api.Get(url.c_str(), kFinishMs));
    }
    submitted.store(true);
    // The last completion may have come before the flag: one more publication wakes everyone.
    const int32_t last = api.Get(url.c_str(), kFinishMs);
    for (std::future<bool>& waiter : waiters) {
      EXPECT_TRUE(waiter.get()) << "round " << round << ": a waiter ran out of time";
    }
    EXPECT_TRUE(WaitReady(last));
    for (int32_t id : ids) {
      EXPECT_EQ(api.Free(id), 1);
    }
    EXPECT_EQ(api.Free(last), 1);
  }
}

}  // namespace
}  // namespace ksrn::test
