// How far a request got, as a host deciding whether to send it again reads it: requests ended
// before or after their bytes went out, and the order in which the throttle lets them start.
#include <string>
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

TEST_F(ExportTest, ACancelTellsWhetherTheRequestWentOut) {
  // Held by the server: written, and no answer yet. Given time to be written: an unknown delivery
  // only needs the bytes to have gone out, which takes far less than this on any machine.
  const int32_t held =
      api.Get(BenchUrl("api.coinbase.com", "/delay-headers/60000").c_str(), kFinishMs);
  KsrnSleepMs(3000);
  // From its start on, every later request waits a minute for the next: three wait for the
  // throttle with the three free workers, the other two in the queue.
  ASSERT_EQ(api.SetThrottleMs(60000), 1);
  std::vector<int32_t> waiting;
  for (int i = 0; i < 5; ++i) {
    waiting.push_back(SubmitHeld());
  }
  KsrnSleepMs(200);  // lets the workers reach their waits; the outcome does not depend on it

  const struct {
    const char* name;
    int32_t id;
    int32_t delivery;
    bool started;
  } cases[] = {
      {"held by the server", held, KSRN_DELIVERY_UNKNOWN, true},
      {"waiting for the throttle", waiting[0], KSRN_DELIVERY_NOT_SENT, false},
      {"queued", waiting[4], KSRN_DELIVERY_NOT_SENT, false},
  };
  EXPECT_EQ(api.CancelAll(), 6);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WaitReady(c.id));
    EXPECT_EQ(Answered(api.GetRequestError(c.id)), (Answer{995, 0}));
    EXPECT_EQ(Answered(api.GetDelivery(c.id)), (Answer{c.delivery, 0}));
    EXPECT_EQ(api.GetTimingUs(c.id, KSRN_MARK_STARTED) >= 0, c.started);
    EXPECT_EQ(api.GetTimingUs(c.id, KSRN_MARK_SENT) >= 0, c.started);
    EXPECT_EQ(api.GetTimingUs(c.id, KSRN_MARK_FIRST_BYTE), -1);
    EXPECT_GE(api.GetTimingUs(c.id, KSRN_MARK_DONE), 0);
  }
}

// Five requests under a 200 ms throttle reach the server in the order they were submitted,
// round after round, with one cancelled in each round: its place passes to the next at once.
TEST_F(ExportTest, ThrottledRequestsReachTheServerInSubmissionOrder) {
  ASSERT_EQ(api.SetThrottleMs(200), 1);
  int previousArrival = 0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    std::vector<int32_t> ids;
    for (int i = 0; i < 5; ++i) {
      ids.push_back(api.Get(BenchUrl("api.kucoin.com", "/arrival").c_str(), kFinishMs));
      ASSERT_NE(ids.back(), 0);
    }
    const int32_t cancelled = ids[1 + round % 3];
    ASSERT_EQ(api.Cancel(cancelled), 1);
    int32_t previousStart = -1;
    for (int32_t id : ids) {
      ASSERT_TRUE(WaitReady(id));
      if (id == cancelled) {
        // Cancelled before its start came: it never reaches the server.
        EXPECT_EQ(Answered(api.GetDelivery(id)), (Answer{KSRN_DELIVERY_NOT_SENT, 0}));
      } else {
        ASSERT_EQ(Answered(api.GetRequestError(id)), (Answer{0, 0}));
        const int arrival = std::stoi(CopyBody(id));
        EXPECT_GT(arrival, previousArrival) << "request " << id << " overtaken at the server";
        previousArrival = arrival;
        const int32_t start = api.GetTimingUs(id, KSRN_MARK_STARTED);
        EXPECT_GT(start, previousStart);
        previousStart = start;
      }
      api.Free(id);
    }
  }
}

}  // namespace
}  // namespace ksrn::test
