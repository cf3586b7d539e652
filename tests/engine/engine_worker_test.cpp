// Workers, cancellation and freeing against the scriptable fake.
#include <gtest/gtest.h>

#include <vector>

#include "engine_harness.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;
using test::ErrorOf;
using test::WaitReady;
using test::WaitUntil;

int CountInState(const std::vector<RequestRef>& requests, RequestState state) {
  int count = 0;
  for (const RequestRef& request : requests) {
    count += request->state.load() == state ? 1 : 0;
  }
  return count;
}

TEST_F(EngineTest, FourTransfersRunAtOnceAndTheFifthWaitsQueued) {
  fake::ScriptDefault(test::Blocking());
  std::vector<RequestRef> requests;
  for (int i = 0; i < 5; ++i) {
    requests.push_back(Submit());
  }
  ASSERT_TRUE(fake::WaitForBlocked(4, test::kLongWait));
  EXPECT_FALSE(fake::WaitForBlocked(5, 200ms)) << "a fifth transfer started";
  EXPECT_EQ(CountInState(requests, RequestState::Running), 4);
  EXPECT_EQ(requests[4]->state.load(), RequestState::Queued);
  EXPECT_EQ(engine->PendingCount(), 5);

  // Ending one transfer frees its worker for the fifth.
  engine->Cancel(requests[0]->id);
  ASSERT_TRUE(WaitReady(requests[0]));
  ASSERT_TRUE(WaitUntil([&] { return fake::CallCount(fake::Step::Open) == 5; }));
  ASSERT_TRUE(fake::WaitForBlocked(4, test::kLongWait));
  fake::Release(/*sticky=*/true);
  ASSERT_TRUE(WaitUntil([&] { return engine->PendingCount() == 0; }));
  for (size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(ErrorOf(requests[i]), kErrorSuccess);
    EXPECT_EQ(requests[i]->result.statusCode, 200u);
  }
}

// Cancel, Free and CancelAll of a record nobody has claimed publish 995 on the caller's thread
// and take it out of the queue at once: no worker ever transfers it, and a freed record (with its
// body) is released as soon as its caller lets go, not when a worker would have reached it.
enum class QueuedEnd { Cancel, Free, CancelAll };

class QueuedEndTest : public EngineTest, public ::testing::WithParamInterface<QueuedEnd> {};

TEST_P(QueuedEndTest, PublishesAtOnceLeavesTheQueueAndIsNeverTransferred) {
  const QueuedEnd end = GetParam();
  fake::ScriptDefault(test::Blocking());
  for (int i = 0; i < 4; ++i) {
    Submit();
  }
  ASSERT_TRUE(fake::WaitForBlocked(4, test::kLongWait));
  RequestRef queued = Submit();
  queued->body.assign(1024 * 1024, 0x42);
  ASSERT_EQ(queued->state.load(), RequestState::Queued);
  ASSERT_EQ(EngineProbe::QueueSize(*engine), 1u);

  switch (end) {
    case QueuedEnd::Cancel:
      EXPECT_TRUE(engine->Cancel(queued->id));
      break;
    case QueuedEnd::Free:
      EXPECT_TRUE(engine->Free(queued->id));
      break;
    case QueuedEnd::CancelAll:
      EXPECT_EQ(engine->CancelAll(), 5);
      break;
  }
  ASSERT_TRUE(queued->ready.load()) << "published before the call returned";
  EXPECT_EQ(queued->state.load(), RequestState::Done);
  EXPECT_EQ(ErrorOf(queued), kErrorOperationAborted);
  EXPECT_EQ(queued->result.statusCode, 0u);
  EXPECT_EQ(EngineProbe::QueueSize(*engine), 0u);
  EXPECT_EQ(engine->Find(queued->id) == nullptr, end == QueuedEnd::Free);
  EXPECT_EQ(queued.use_count(), end == QueuedEnd::Free ? 1 : 2) << "nothing else holds it";

  fake::Release(/*sticky=*/true);
  ASSERT_TRUE(WaitUntil([&] { return engine->PendingCount() == 0; }));
  EXPECT_EQ(fake::CallCount(fake::Step::Open), 4);
  EXPECT_EQ(ErrorOf(queued), kErrorOperationAborted);
}

INSTANTIATE_TEST_SUITE_P(EveryHostEnd, QueuedEndTest,
                         ::testing::Values(QueuedEnd::Cancel, QueuedEnd::Free,
                                           QueuedEnd::CancelAll));

TEST_F(EngineTest, RunningCancelEndsThroughTheClosedHandles) {
  fake::ScriptDefault(test::Blocking());
  RequestRef request = Submit();
  ASSERT_TRUE(fake::WaitForBlocked(1, test::kLongWait));
  EXPECT_TRUE(engine->Cancel(request->id));
  ASSERT_TRUE(WaitReady(request));
  EXPECT_EQ(ErrorOf(request), kErrorOperationAborted);
  EXPECT_EQ(request->result.statusCode, 0u);
  EXPECT_EQ(fake::OpenHandleCount(), 0);
}

TEST_F(EngineTest, TimedOutWinsOverCancelled) {
  // The transfer sits in HttpOpen, where closing handles cannot reach it: both flags are up
  // before it gets a handle.
  fake::Exchange exchange;
  exchange.blockAt = fake::Step::Open;
  fake::ScriptDefault(exchange);
  RequestRef request = Submit("/", 300);
  ASSERT_TRUE(fake::WaitForBlocked(1, test::kLongWait));
  ASSERT_TRUE(WaitUntil([&] { return request->timedOut.load(); }));
  EXPECT_TRUE(engine->Cancel(request->id));
  EXPECT_FALSE(request->ready.load());
  fake::Release();
  ASSERT_TRUE(WaitReady(request));
  EXPECT_TRUE(request->cancelled.load());
  EXPECT_EQ(ErrorOf(request), kErrorWinhttpTimeout);
}

TEST_F(EngineTest, CancelOfAFinishedRecordChangesNothing) {
  fake::ScriptDefault(test::WithBody(1000, 50, 201));
  RequestRef request = Submit();
  ASSERT_TRUE(WaitReady(request));
  ASSERT_EQ(EngineProbe::ResultBytes(*engine), 1050u);

  EXPECT_TRUE(engine->Cancel(request->id));
  EXPECT_EQ(engine->CancelAll(), 0);
  EXPECT_EQ(request->state.load(), RequestState::Done);
  EXPECT_EQ(ErrorOf(request), kErrorSuccess);
  EXPECT_EQ(request->result.statusCode, 201u);
  EXPECT_EQ(request->result.body.size(), 1000u);
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), 1050u);

  EXPECT_TRUE(engine->Free(request->id));
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), 0u);
  EXPECT_FALSE(engine->Free(request->id));
  EXPECT_FALSE(engine->Cancel(request->id));
  EXPECT_EQ(request->result.body.size(), 1000u) << "a freed record stays readable by its holders";
}

TEST_F(EngineTest, CancelAllCountsTheUnfinishedAndKeepsEveryRecord) {
  fake::Script(KSRN_WIDE("/block"), test::Blocking());
  std::vector<RequestRef> requests = {Submit(), Submit()};
  ASSERT_TRUE(WaitUntil([&] { return engine->PendingCount() == 0; }));
  for (int i = 0; i < 3; ++i) {
    requests.push_back(Submit("/block"));
  }
  ASSERT_TRUE(fake::WaitForBlocked(3, test::kLongWait));

  EXPECT_EQ(engine->CancelAll(), 3);
  ASSERT_TRUE(WaitUntil([&] { return engine->PendingCount() == 0; }));
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(engine->Find(requests[i]->id), requests[i]);
    EXPECT_EQ(ErrorOf(requests[i]), i < 2 ? kErrorSuccess : kErrorOperationAborted);
  }
  EXPECT_FALSE(engine->Cancel(0));
  EXPECT_FALSE(engine->Free(-1));
}

// A transfer that throws is published by its worker, which then goes on with the next record.
TEST_F(EngineTest, TransferExceptionsBecomeFailureResults) {
  fake::Exchange faulty;
  faulty.throwAt = fake::Step::Receive;
  fake::Script(KSRN_WIDE("/fault"), faulty);
  // The body buffer grows by doubling; its step to 2 MiB is refused.
  fake::Script(KSRN_WIDE("/oom"), test::WithBody(1536 * 1024));

  RequestRef fault = Submit("/fault");
  ASSERT_TRUE(WaitReady(fault));
  EXPECT_EQ(ErrorOf(fault), kErrorGenFailure);

  test::FailAllocationsFrom(2 * 1024 * 1024);
  RequestRef oom = Submit("/oom");
  const bool ready = WaitReady(oom);
  test::FailAllocationsFrom(0);
  ASSERT_TRUE(ready);
  EXPECT_EQ(ErrorOf(oom), kErrorNotEnoughMemory);
  EXPECT_EQ(oom->result.statusCode, 0u);
  EXPECT_TRUE(oom->result.body.empty());

  for (int i = 0; i < kWorkerCount + 1; ++i) {
    RequestRef after = Submit();
    ASSERT_TRUE(WaitReady(after));
    EXPECT_EQ(ErrorOf(after), kErrorSuccess);
  }
}

}  // namespace
}  // namespace ksrn
