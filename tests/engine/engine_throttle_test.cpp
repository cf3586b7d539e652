// The dispatch throttle: one global spacing between start permissions. Lower bounds are exact
// (a permission can only follow the moment the test took before submitting); upper bounds are
// generous caps that only catch a waiter left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "engine_harness.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ErrorOf;
using test::WaitReady;
using test::WaitUntil;

// Submits a request that will have to wait for its throttle slot and returns once a worker has
// claimed it.
RequestRef SubmitWaiter(HttpEngine& engine, int32_t timeoutMs) {
  RequestRef request = test::MakeRequest("/", timeoutMs);
  uint32_t error = 0xFFFFFFFF;
  EXPECT_NE(engine.Submit(request, error), 0);
  EXPECT_EQ(error, kErrorSuccess);
  EXPECT_TRUE(WaitUntil([&] { return request->state.load() == RequestState::Running; }));
  return request;
}

TEST_F(EngineTest, ThreeStartsAreSpacedByTheThrottleAndTheFirstIsImmediate) {
  ASSERT_TRUE(engine->SetThrottleMs(1000));
  const auto before = Clock::now();
  for (int i = 0; i < 3; ++i) {
    Submit();
  }
  ASSERT_TRUE(WaitUntil([&] { return engine->PendingCount() == 0; }));
  std::vector<Clock::time_point> starts = fake::OpenTimes();
  ASSERT_EQ(starts.size(), 3u);
  std::sort(starts.begin(), starts.end());
  EXPECT_LT(starts[0] - before, 900ms) << "the first start of an engine waits for nothing";
  EXPECT_GE(starts[1] - before, 1000ms);
  EXPECT_GE(starts[2] - before, 2000ms);
}

TEST_F(EngineTest, PermissionsGrantedAtThrottleZeroCount) {
  const auto before = Clock::now();
  ASSERT_TRUE(WaitReady(Submit()));
  ASSERT_TRUE(engine->SetThrottleMs(1000));
  ASSERT_TRUE(WaitReady(Submit()));
  const std::vector<Clock::time_point> starts = fake::OpenTimes();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_GE(starts[1] - before, 1000ms);
}

TEST_F(EngineTest, LoweringTheThrottleReleasesAWaiter) {
  ASSERT_TRUE(engine->SetThrottleMs(kMaxThrottleMs));
  ASSERT_TRUE(WaitReady(Submit()));
  RequestRef waiter = SubmitWaiter(*engine, 120000);
  std::this_thread::sleep_for(100ms);  // let it reach its wait; correctness does not depend on it
  EXPECT_FALSE(waiter->ready.load());
  ASSERT_TRUE(engine->SetThrottleMs(50));
  ASSERT_TRUE(WaitReady(waiter)) << "still waiting for the old one-minute slot";
  EXPECT_EQ(ErrorOf(waiter), kErrorSuccess);
  EXPECT_EQ(fake::CallCount(fake::Step::Open), 2);
}

// A waiter whose request ends while it waits leaves without a transfer: at its deadline with
// 12002, or at once with 995 when cancelled.
TEST_F(EngineTest, WaitersThatTimeOutOrAreCancelledNeverTransfer) {
  ASSERT_TRUE(engine->SetThrottleMs(kMaxThrottleMs));
  ASSERT_TRUE(WaitReady(Submit()));

  RequestRef late = SubmitWaiter(*engine, 400);
  ASSERT_TRUE(WaitReady(late));
  EXPECT_EQ(ErrorOf(late), kErrorWinhttpTimeout);
  EXPECT_TRUE(late->timedOut.load());

  RequestRef cancelled = SubmitWaiter(*engine, 120000);
  EXPECT_TRUE(engine->Cancel(cancelled->id));
  ASSERT_TRUE(WaitReady(cancelled)) << "still waiting for its one-minute slot";
  EXPECT_EQ(ErrorOf(cancelled), kErrorOperationAborted);

  EXPECT_EQ(fake::CallCount(fake::Step::Open), 1);
}

TEST_F(EngineTest, ThrottleAcceptsZeroToOneMinuteOnly) {
  const struct {
    int32_t ms;
    bool accepted;
  } cases[] = {{0, true},   {1, true},          {60000, true},      {60001, false},
               {-1, false}, {INT32_MIN, false}, {INT32_MAX, false}, {250, true}};
  int32_t current = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(engine->SetThrottleMs(c.ms), c.accepted) << c.ms;
    current = c.accepted ? c.ms : current;
    EXPECT_EQ(EngineProbe::ThrottleMs(*engine), current) << c.ms;
  }
}

}  // namespace
}  // namespace ksrn
