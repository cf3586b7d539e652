// The engine over the platform's HTTP operations against the simulated exchange of the hermetic
// bench (tests/sandbox/run): real transfers, real cancellation and real deadlines.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "../engine_harness.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ErrorOf;
using test::WaitUntil;

class EngineNetTest : public EngineFixture {
 protected:
  void SetUp() override { engine = std::make_unique<HttpEngine>(allocator); }
};

TEST_F(EngineNetTest, BodyAndHeadersArriveFromTheBench) {
  RequestRef request = Submit("/bytes/100", 20000);
  ASSERT_TRUE(WaitUntil([&] { return request->ready.load(); }));
  std::lock_guard lock(request->resultMutex);
  EXPECT_EQ(request->result.error, kErrorSuccess);
  EXPECT_EQ(request->result.statusCode, 200u);
  EXPECT_TRUE(request->result.bodyComplete);
  ASSERT_EQ(request->result.body.size(), 100u);
  EXPECT_EQ(request->result.body[99], (99 * 7 + 3) % 251);
  EXPECT_FALSE(request->result.headers.empty());
  EXPECT_EQ(request->chargedBytes, 100u + request->result.headers.size());
}

TEST_F(EngineNetTest, FourTransfersRunAtOnceAndCancelReachesQueuedAndRunning) {
  std::vector<RequestRef> requests;
  for (int i = 0; i < kWorkerCount + 1; ++i) {
    requests.push_back(Submit("/delay-headers/3000", 20000));
  }
  ASSERT_TRUE(WaitUntil([&] {
    int running = 0;
    for (const RequestRef& request : requests) {
      running += request->state.load() == RequestState::Running ? 1 : 0;
    }
    return running == kWorkerCount;
  }));
  const RequestRef& queued = requests.back();
  EXPECT_EQ(queued->state.load(), RequestState::Queued);
  EXPECT_TRUE(engine->Cancel(queued->id));
  EXPECT_TRUE(queued->ready.load());
  EXPECT_EQ(ErrorOf(queued), kErrorOperationAborted);

  const auto cancelled = Clock::now();
  EXPECT_TRUE(engine->Cancel(requests[0]->id));
  ASSERT_TRUE(WaitUntil([&] { return requests[0]->ready.load(); }));
  EXPECT_EQ(ErrorOf(requests[0]), kErrorOperationAborted);
  EXPECT_LT(Clock::now() - cancelled, 2500ms) << "the cancel waited for the server";
  for (size_t i = 1; i < static_cast<size_t>(kWorkerCount); ++i) {
    ASSERT_TRUE(WaitUntil([&] { return requests[i]->ready.load(); }));
    EXPECT_EQ(ErrorOf(requests[i]), kErrorSuccess) << i;
    EXPECT_EQ(requests[i]->result.statusCode, 200u) << i;
  }
}

TEST_F(EngineNetTest, DeadlineEndsATransferWaitingForTheServer) {
  const auto start = Clock::now();
  RequestRef request = Submit("/delay-headers/5000", 500);
  ASSERT_TRUE(WaitUntil([&] { return request->ready.load(); }));
  EXPECT_EQ(ErrorOf(request), kErrorWinhttpTimeout);
  EXPECT_TRUE(request->timedOut.load());
  EXPECT_LT(Clock::now() - start, 4500ms) << "ended by the server, not by the deadline";
}

TEST_F(EngineNetTest, StopEndsRunningTransfersAndQueuedRequests) {
  std::vector<RequestRef> requests;
  for (int i = 0; i < kWorkerCount + 2; ++i) {
    requests.push_back(Submit("/delay-headers/5000", 20000));
  }
  ASSERT_TRUE(
      WaitUntil([&] { return requests[kWorkerCount - 1]->state.load() != RequestState::Queued; }));
  const auto start = Clock::now();
  engine->Stop();
  const auto took = Clock::now() - start;
  for (const RequestRef& request : requests) {
    ASSERT_TRUE(request->ready.load());
    EXPECT_EQ(ErrorOf(request), kErrorOperationAborted);
  }
  EXPECT_LT(took, 2500ms) << "Stop waited for the server";
}

}  // namespace
}  // namespace ksrn
