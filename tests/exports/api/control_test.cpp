// The throttle, cancelling, freeing and counting, through the exports.
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

TEST_F(ExportTest, ThrottleAcceptsZeroToSixtySeconds) {
  for (int32_t ms : {0, 1, 60000}) {
    EXPECT_EQ(Answered(api.SetThrottleMs(ms)), (Answer{1, 0})) << ms;
  }
  for (int32_t ms : {60001, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(Answered(api.SetThrottleMs(ms)), (Answer{0, 87})) << ms;
  }
}

TEST_F(ExportTest, RefusedThrottleKeepsThePreviousOneAndLoweringItReleasesWaiters) {
  HoldDispatch();
  const int32_t id = SubmitHeld();
  EXPECT_EQ(Answered(api.SetThrottleMs(-1)), (Answer{0, 87}));
  EXPECT_EQ(Answered(api.SetThrottleMs(60001)), (Answer{0, 87}));
  KsrnSleepMs(300);
  EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 0})) << "the one-minute spacing still holds";
  EXPECT_EQ(Answered(api.SetThrottleMs(0)), (Answer{1, 0}));
  ASSERT_TRUE(WaitReady(id, 30s)) << "a lowered throttle applies to waiting requests at once";
  EXPECT_EQ(api.Succeeded(id), 1);
}

TEST_F(ExportTest, CancelOfAQueuedRequestPublishes995AtOnce) {
  HoldDispatch();
  for (int worker = 0; worker < 4; ++worker) {
    SubmitHeld();  // every worker now waits for its dispatch slot
  }
  const int32_t queued = SubmitHeld();
  EXPECT_EQ(Answered(api.Cancel(queued)), (Answer{1, 0}));
  EXPECT_EQ(Answered(api.IsReady(queued)), (Answer{1, 0}));
  EXPECT_EQ(Answered(api.GetRequestError(queued)), (Answer{995, 0}));
  EXPECT_EQ(Answered(api.GetStatusCode(queued)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.Cancel(queued)), (Answer{1, 0}));
  EXPECT_EQ(api.GetRequestError(queued), 995u);
  EXPECT_EQ(Answered(api.Free(queued)), (Answer{1, 0}));
}

TEST_F(ExportTest, CancelOfAFinishedRequestKeepsItsOutcome) {
  const int32_t id = api.Get(BenchUrl("api.kucoin.com", "/bytes/10").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  EXPECT_EQ(Answered(api.Cancel(id)), (Answer{1, 0}));
  EXPECT_EQ(Answered(api.Succeeded(id)), (Answer{1, 0}));
  EXPECT_EQ(Answered(api.GetStatusCode(id)), (Answer{200, 0}));
  EXPECT_EQ(Answered(api.GetRequestError(id)), (Answer{0, 0}));
  EXPECT_EQ(CopyBody(id), PatternBytes(10));
}

TEST_F(ExportTest, CancelAndFreeDoNotFindIdsOfZeroAndBelow) {
  for (int32_t id : {0, -1, -3, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(Answered(api.Cancel(id)), (Answer{0, 1168})) << id;
    EXPECT_EQ(Answered(api.Free(id)), (Answer{0, 1168})) << id;
  }
}

TEST_F(ExportTest, FreedIdIsGoneForEveryCall) {
  const int32_t finished = HoldDispatch();
  const int32_t waiting = SubmitHeld();
  for (int32_t id : {waiting, finished}) {
    EXPECT_EQ(Answered(api.Free(id)), (Answer{1, 0})) << id;
    EXPECT_EQ(Answered(api.Free(id)), (Answer{0, 1168})) << id;
    EXPECT_EQ(Answered(api.Cancel(id)), (Answer{0, 1168})) << id;
    EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 1168})) << id;
    EXPECT_EQ(Answered(api.GetRequestError(id)), (Answer{1168, 1168})) << id;
    EXPECT_EQ(Answered(api.CopyBody(id, nullptr, 0)), (Answer{0, 1168})) << id;
  }
}

TEST_F(ExportTest, CancelAllCountsOnlyUnfinishedRequests) {
  EXPECT_EQ(Answered(api.CancelAll()), (Answer{0, 0})) << "empty table";
  const int32_t finished = HoldDispatch();
  std::vector<int32_t> unfinished = {SubmitHeld(), SubmitHeld(), SubmitHeld()};
  const int32_t cancelled = SubmitHeld();
  ASSERT_EQ(api.Cancel(cancelled), 1);
  ASSERT_TRUE(WaitReady(cancelled));
  EXPECT_EQ(Answered(api.GetPendingCount()), (Answer{3, 0}));

  EXPECT_EQ(Answered(api.CancelAll()), (Answer{3, 0}));
  for (int32_t id : unfinished) {
    ASSERT_TRUE(WaitReady(id));
    EXPECT_EQ(api.GetRequestError(id), 995u);
  }
  EXPECT_EQ(api.GetRequestError(finished), 0u) << "a finished request keeps its outcome";
  EXPECT_EQ(Answered(api.CancelAll()), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.GetPendingCount()), (Answer{0, 0}));
  // Cancelled requests keep their places until they are freed.
  EXPECT_EQ(Answered(api.IsReady(unfinished.front())), (Answer{1, 0}));
}

TEST_F(ExportTest, FinishedRequestsHoldTheirPlacesButAreNotPending) {
  std::vector<int32_t> ids;
  for (int i = 0; i < 32; ++i) {
    ids.push_back(api.Get(BenchUrl("api.gateio.ws", "/bytes/1").c_str(), kFinishMs));
    ASSERT_NE(ids.back(), 0) << api.GetLastError();
  }
  for (int32_t id : ids) {
    ASSERT_TRUE(WaitReady(id));
  }
  EXPECT_EQ(Answered(api.GetPendingCount()), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.Get(BenchUrl("api.gateio.ws", "/bytes/1").c_str(), 0)), (Answer{0, 1816}));
  ASSERT_EQ(api.Free(ids[7]), 1);
  EXPECT_EQ(Answered(api.Get(BenchUrl("api.gateio.ws", "/bytes/1").c_str(), 0)),
            (Answer{ids.back() + 1, 0}));
}

}  // namespace
}  // namespace ksrn::test
