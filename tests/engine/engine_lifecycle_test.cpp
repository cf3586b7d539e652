// Engine start and stop: Stop with work in flight, Stop racing a second Stop, the destructor of
// an engine never stopped, and a construction whose threads cannot all be started.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "engine_harness.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;
using test::ErrorOf;
using test::WaitReady;
using test::WaitUntil;

TEST_F(EngineTest, StopPublishesQueuedRequestsBeforeJoiningAndEmptiesTheEngine) {
  // The first transfer sits in HttpOpen, which only a release ends: Stop cannot finish its
  // joins before that, which shows what it did before joining.
  fake::Exchange openBlocks;
  openBlocks.blockAt = fake::Step::Open;
  fake::ScriptDefault(openBlocks);
  fake::Script(KSRN_WIDE("/block"), test::Blocking());
  std::vector<RequestRef> requests = {Submit()};
  ASSERT_TRUE(fake::WaitForBlocked(1, test::kLongWait));
  for (int i = 0; i < 6; ++i) {
    requests.push_back(Submit("/block"));
  }
  ASSERT_TRUE(fake::WaitForBlocked(kWorkerCount, test::kLongWait));

  std::atomic<bool> firstReturned{false};
  std::atomic<bool> secondReturned{false};
  std::thread first([&] {
    engine->Stop();
    firstReturned = true;
  });
  // Three queued and three transfers ending through their closed handles.
  for (size_t i = 1; i < requests.size(); ++i) {
    EXPECT_TRUE(WaitReady(requests[i])) << i;
    EXPECT_EQ(ErrorOf(requests[i]), kErrorOperationAborted) << i;
  }
  std::thread second([&] {
    engine->Stop();
    secondReturned = true;
  });
  RequestRef refused = test::MakeRequest();
  uint32_t error = 0;
  EXPECT_EQ(engine->Submit(refused, error), 0);
  EXPECT_EQ(error, kErrorOperationAborted);
  EXPECT_FALSE(WaitUntil([&] { return firstReturned || secondReturned; }, 200ms))
      << "Stop returned while a worker was still inside its transfer";

  fake::Release();
  first.join();
  second.join();
  ASSERT_TRUE(requests[0]->ready.load());
  EXPECT_EQ(ErrorOf(requests[0]), kErrorOperationAborted);
  EXPECT_TRUE(EngineProbe::AllThreadsJoined(*engine));
  EXPECT_EQ(EngineProbe::TableSize(*engine), 0u);
  EXPECT_EQ(EngineProbe::QueueSize(*engine), 0u);
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), 0u);
  EXPECT_EQ(engine->PendingCount(), 0);
  EXPECT_EQ(engine->CancelAll(), 0);
  for (const RequestRef& request : requests) {
    EXPECT_EQ(engine->Find(request->id), nullptr);
    EXPECT_FALSE(engine->Free(request->id));
  }
  EXPECT_EQ(fake::CallCount(fake::Step::Open), kWorkerCount) << "queued requests were sent";
  engine->Stop();
}

TEST_F(EngineTest, StopReleasesAWorkerWaitingForItsThrottleSlot) {
  ASSERT_TRUE(engine->SetThrottleMs(kMaxThrottleMs));
  ASSERT_TRUE(WaitReady(Submit()));
  RequestRef waiter = Submit("/", 120000);
  ASSERT_TRUE(WaitUntil([&] { return waiter->state.load() == RequestState::Running; }));
  const auto before = std::chrono::steady_clock::now();
  engine->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 20s) << "waited for the throttle slot";
  EXPECT_EQ(ErrorOf(waiter), kErrorOperationAborted);
  EXPECT_EQ(fake::CallCount(fake::Step::Open), 1);
}

TEST_F(EngineTest, StopOfAnIdleEngineEndsItsThreads) {
  engine->Stop();
  EXPECT_TRUE(EngineProbe::AllThreadsJoined(*engine));
  engine->Stop();
}

TEST_F(EngineTest, DroppingTheLastReferenceStopsAnEngineNeverStopped) {
  auto shared = std::make_shared<HttpEngine>(allocator);
  fake::ScriptDefault(test::Blocking());
  std::vector<RequestRef> requests;
  for (int i = 0; i < kWorkerCount + 2; ++i) {
    requests.push_back(test::MakeRequest());
    uint32_t error = 0;
    ASSERT_NE(shared->Submit(requests.back(), error), 0);
  }
  ASSERT_TRUE(fake::WaitForBlocked(kWorkerCount, test::kLongWait));
  shared.reset();
  for (const RequestRef& request : requests) {
    ASSERT_TRUE(request->ready.load());
    EXPECT_EQ(ErrorOf(request), kErrorOperationAborted);
  }
}

// Every allocation of the construction fails once in turn: the engine itself, its members, the
// worker vector and each of the five threads. Each failure reaches the creator with no thread
// left behind (a thread left joinable would abort the process, one never woken would hang it).
TEST_F(EngineTest, ConstructionThatCannotStartAThreadStopsWhatItStarted) {
  int failures = 0;
  for (int n = 1; n < 100; ++n) {
    std::unique_ptr<HttpEngine> candidate;
    test::FailNthAllocationOnThisThread(n);
    try {
      candidate = std::make_unique<HttpEngine>(allocator);
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    test::FailNthAllocationOnThisThread(0);
    if (candidate) {
      RequestRef request = test::MakeRequest();
      uint32_t error = 0;
      ASSERT_NE(candidate->Submit(request, error), 0);
      ASSERT_TRUE(WaitReady(request));
      EXPECT_EQ(ErrorOf(request), kErrorSuccess);
      break;
    }
  }
  EXPECT_GE(failures, 1 + 1 + kWorkerCount + 1) << "engine, worker vector and five threads";
}

}  // namespace
}  // namespace ksrn
