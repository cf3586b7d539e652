// The deadline watchdog against the fake: queued and running requests past their deadline end
// with 12002; finished ones are left alone.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;
using test::ErrorOf;
using test::WaitReady;
using test::WaitUntil;

TEST_F(EngineTest, QueuedRequestBehindBusyWorkersTimesOutAndIsNeverTransferred) {
  fake::ScriptDefault(test::Blocking());
  for (int i = 0; i < kWorkerCount; ++i) {
    Submit();
  }
  ASSERT_TRUE(fake::WaitForBlocked(kWorkerCount, test::kLongWait));
  const SteadyTime submitted = SteadyNow();
  RequestRef queued = Submit("/", 250);
  ASSERT_TRUE(WaitReady(queued));
  EXPECT_LT(SteadyNow() - submitted, 5000 * kNanosecondsPerMillisecond);
  EXPECT_EQ(ErrorOf(queued), kErrorWinhttpTimeout);
  EXPECT_EQ(queued->result.statusCode, 0u);
  EXPECT_EQ(EngineProbe::QueueSize(*engine), 0u) << "an ended record leaves the queue at once";

  fake::Release(/*sticky=*/true);
  ASSERT_TRUE(WaitUntil([&] { return engine->PendingCount() == 0; }));
  EXPECT_EQ(fake::CallCount(fake::Step::Open), kWorkerCount);
  EXPECT_EQ(ErrorOf(queued), kErrorWinhttpTimeout);
}

TEST_F(EngineTest, RunningTransferPastItsDeadlineIsAbortedAndPublishedByItsWorker) {
  fake::ScriptDefault(test::Blocking());
  RequestRef request = Submit("/", 300);
  ASSERT_TRUE(WaitReady(request));
  EXPECT_EQ(ErrorOf(request), kErrorWinhttpTimeout);
  EXPECT_TRUE(request->timedOut.load());
  EXPECT_FALSE(request->cancelled.load());
  EXPECT_EQ(fake::OpenHandleCount(), 0);
  EXPECT_EQ(fake::CallCount(fake::Step::Open), 1);
}

TEST_F(EngineTest, FinishedRecordIsNeverTouchedAfterItsDeadline) {
  fake::ScriptDefault(test::WithBody(100, 10));
  RequestRef request = Submit("/", 250);
  ASSERT_TRUE(WaitReady(request));
  // Several watchdog periods past the deadline.
  ASSERT_TRUE(WaitUntil(
      [&] { return SteadyNow() > request->deadline + 200 * kNanosecondsPerMillisecond; }));
  EXPECT_FALSE(request->timedOut.load());
  EXPECT_EQ(ErrorOf(request), kErrorSuccess);
  EXPECT_TRUE(request->result.bodyComplete);
  EXPECT_EQ(request->result.body.size(), 100u);
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), 110u);
}

// With nothing queued or running the watchdog sleeps until a submission: an idle engine makes no
// periodic wake-ups (ten periods pass here), and a finished record does not keep it scanning.
TEST_F(EngineTest, IdleEngineWatchdogSleepsUntilTheNextSubmission) {
  std::this_thread::sleep_for(10 * kWatchdogPeriod);
  EXPECT_EQ(EngineProbe::WatchdogScans(*engine), 0u);

  fake::ScriptDefault(test::WithBody(10));
  RequestRef request = Submit();
  ASSERT_TRUE(WaitReady(request));
  // At most one scan after the finish sees nothing left to watch; then the count stands still.
  std::this_thread::sleep_for(10 * kWatchdogPeriod);
  const uint64_t settled = EngineProbe::WatchdogScans(*engine);
  std::this_thread::sleep_for(10 * kWatchdogPeriod);
  EXPECT_LE(EngineProbe::WatchdogScans(*engine), settled + 1);
}

// A submission wakes the watchdog only when its deadline comes before the next scan: submissions
// with distant deadlines, spread over some periods, cost no scans beyond the periodic ones.
TEST_F(EngineTest, DistantDeadlinesDoNotWakeTheWatchdog) {
  fake::ScriptDefault(test::Blocking());
  for (int i = 0; i < kWorkerCount; ++i) {
    Submit();
  }
  ASSERT_TRUE(fake::WaitForBlocked(kWorkerCount, test::kLongWait));
  const uint64_t scansBefore = EngineProbe::WatchdogScans(*engine);
  const SteadyTime start = SteadyNow();
  for (size_t i = kWorkerCount; i < kMaxRequests; ++i) {
    Submit();
    std::this_thread::sleep_for(1ms);
  }
  const int64_t periods =
      (SteadyNow() - start) / std::chrono::nanoseconds(kWatchdogPeriod).count() + 1;
  EXPECT_LE(EngineProbe::WatchdogScans(*engine) - scansBefore, static_cast<uint64_t>(periods + 1));
  fake::Release(/*sticky=*/true);
}

}  // namespace
}  // namespace ksrn
