// What a published outcome says about the wire: delivery, marks and address, for every way a
// transfer can end as the fake operation set scripts it, and the start order under the throttle.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine_harness.h"

namespace ksrn {
namespace {

using test::WaitReady;

WireReport ReportOf(const RequestRef& request) {
  std::lock_guard lock(request->resultMutex);
  return request->result.wire;
}

// The last mark reached, in order; every earlier one reached too and none after it but Done.
struct WireCase {
  const char* name;
  fake::Step failAt;
  uint32_t failError;
  fake::Reach reach;
  fake::Step throwAt;
  Delivery delivery;
  Mark lastMark;
  bool hasAddress;
};

TEST_F(EngineTest, EachEndOfATransferReportsHowFarItGot) {
  using fake::Reach;
  using fake::Step;
  const WireCase cases[] = {
      {"whole", Step::None, 0, Reach::Sent, Step::None, Delivery::Answered, Mark::FirstByte, true},
      {"not resolved", Step::Send, 12007, Reach::Nothing, Step::None, Delivery::NotSent,
       Mark::Started, false},
      {"refused", Step::Send, 12029, Reach::Resolved, Step::None, Delivery::NotSent, Mark::Resolved,
       false},
      {"certificate", Step::Send, 12175, Reach::Connected, Step::None, Delivery::NotSent,
       Mark::Connected, true},
      {"reset while writing", Step::Send, 12030, Reach::Writing, Step::None, Delivery::Unknown,
       Mark::Secured, true},
      {"no answer", Step::Receive, 12002, Reach::Sent, Step::None, Delivery::Unknown, Mark::Sent,
       true},
      {"head refused", Step::QueryHeaders, 12152, Reach::Sent, Step::None, Delivery::Unknown,
       Mark::FirstByte, true},
      {"body broken", Step::QueryDataAvailable, 12030, Reach::Sent, Step::None, Delivery::Answered,
       Mark::FirstByte, true},
      {"fault after the head", Step::None, 0, Reach::Sent, Step::ReadData, Delivery::Answered,
       Mark::FirstByte, true},
  };
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Exchange exchange;
    exchange.body = {'o', 'k'};
    exchange.failAt = c.failAt;
    exchange.failError = c.failError;
    exchange.sendReach = c.reach;
    exchange.throwAt = c.throwAt;
    const std::string path = std::string("/") + c.name;
    fake::Script(test::Wide(path), exchange);
    RequestRef request = Submit(path);
    ASSERT_TRUE(WaitReady(request));
    const WireReport report = ReportOf(request);
    EXPECT_EQ(report.delivery, c.delivery);
    {
      std::lock_guard lock(request->resultMutex);
      EXPECT_TRUE(request->result.statusCode == 0 || c.delivery == Delivery::Answered)
          << "a status only with a whole head";
    }
    EXPECT_EQ(report.registeredAt, request->registeredAt);
    SteadyTime previous = request->registeredAt;
    for (int32_t mark = 1; mark <= kMarkCount; ++mark) {
      const SteadyTime at = report.marks[static_cast<size_t>(mark) - 1];
      const bool reached = mark <= static_cast<int32_t>(c.lastMark) || mark == kMarkCount;
      EXPECT_EQ(at != 0, reached) << "mark " << mark;
      if (at != 0) {
        EXPECT_GE(at, previous) << "mark " << mark;
        previous = at;
      }
    }
    EXPECT_EQ(WideString(report.remoteAddress.data()),
              c.hasAddress ? WideString(fake::kFakeRemoteAddress) : WideString());
  }
}

TEST_F(EngineTest, ARequestEndedBeforeItsStartReportsNothingSent) {
  ASSERT_TRUE(engine->SetThrottleMs(kMaxThrottleMs));
  ASSERT_TRUE(WaitReady(Submit()));
  RequestRef waiting = Submit("/", 120000);
  RequestRef late = Submit("/", 300);
  ASSERT_TRUE(test::WaitUntil([&] { return waiting->state.load() == RequestState::Running; }));
  ASSERT_TRUE(engine->Cancel(waiting->id));
  for (const RequestRef& request : {waiting, late}) {
    ASSERT_TRUE(WaitReady(request));
    const WireReport report = ReportOf(request);
    EXPECT_EQ(report.delivery, Delivery::NotSent);
    EXPECT_EQ(std::count(report.marks.begin(), report.marks.end(), 0), kMarkCount - 1);
    EXPECT_NE(report.marks.back(), 0) << "Done is always reached";
  }
}

// Grants follow submission whatever the throttle, with requests cancelled at random while
// queued, waiting or running; a cancelled one never holds back those behind it, or the round
// would wait for their deadlines.
TEST_F(EngineTest, StartsAreGrantedInSubmissionOrder) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(engine->SetThrottleMs(round % 3));
    std::vector<RequestRef> requests;
    for (int i = 0; i < 12; ++i) {
      requests.push_back(Submit("/", 20000));
      if (random() % 4 == 0) {
        engine->Cancel(requests[random() % requests.size()]->id);
      }
    }
    SteadyTime previous = 0;
    for (const RequestRef& request : requests) {
      ASSERT_TRUE(test::WaitUntil([&] { return request->ready.load(); }, std::chrono::seconds(10)));
      const SteadyTime started = ReportOf(request).At(Mark::Started);
      if (started != 0) {
        EXPECT_GT(started, previous) << "request " << request->id << " started out of order";
        previous = started;
      }
      engine->Free(request->id);
    }
  }
}

}  // namespace
}  // namespace ksrn
