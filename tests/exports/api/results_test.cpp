// Polling and reading a request's outcome: readiness, the success test, sizes and copies.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

TEST_F(ExportTest, ReadsBeforeTheOutcomeIsReadyAnswer996) {
  HoldDispatch();
  const int32_t id = SubmitHeld();
  uint8_t buffer[8];
  EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.Succeeded(id)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.GetStatusCode(id)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.GetRequestError(id)), (Answer{996, 996}));
  EXPECT_EQ(Answered(api.GetBodySize(id)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.GetHeadersSize(id)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.CopyBody(id, buffer, sizeof buffer)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.CopyHeaders(id, nullptr, 0)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.GetDelivery(id)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.GetTimingUs(id, KSRN_MARK_STARTED)), (Answer{0, 996}));
  EXPECT_EQ(Answered(api.CopyRemoteAddress(id, nullptr, 0)), (Answer{0, 996}));
}

TEST_F(ExportTest, ReadsRefuseIdsOfZeroAndBelowAndUnknownIds) {
  uint8_t buffer[8];
  for (int32_t id : {0, -1, INT32_MIN}) {
    EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.Succeeded(id)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.GetStatusCode(id)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.GetRequestError(id)), (Answer{87, 87})) << id;
    EXPECT_EQ(Answered(api.GetBodySize(id)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.GetHeadersSize(id)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.CopyBody(id, buffer, sizeof buffer)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.CopyHeaders(id, buffer, 0)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.GetDelivery(id)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.GetTimingUs(id, KSRN_MARK_DONE)), (Answer{0, 87})) << id;
    EXPECT_EQ(Answered(api.CopyRemoteAddress(id, nullptr, 0)), (Answer{0, 87})) << id;
  }
  EXPECT_EQ(Answered(api.IsReady(INT32_MAX)), (Answer{0, 1168}));
  EXPECT_EQ(Answered(api.GetDelivery(INT32_MAX)), (Answer{0, 1168}));
  EXPECT_EQ(Answered(api.GetTimingUs(INT32_MAX, KSRN_MARK_SENT)), (Answer{0, 1168}));
  EXPECT_EQ(Answered(api.GetRequestError(INT32_MAX)), (Answer{1168, 1168}));
  EXPECT_EQ(Answered(api.CopyBody(INT32_MAX, buffer, 0)), (Answer{0, 1168}));
}

TEST_F(ExportTest, CopyBufferArgumentsAreCheckedFirst) {
  uint8_t buffer[8];
  EXPECT_EQ(Answered(api.CopyBody(0, buffer, -1)), (Answer{0, 87}));
  EXPECT_EQ(Answered(api.CopyHeaders(INT32_MAX, nullptr, 1)), (Answer{0, 87}));
  ASSERT_EQ(api.Shutdown(), 1);
  EXPECT_EQ(Answered(api.CopyBody(1, nullptr, 5)), (Answer{0, 87}));
  EXPECT_EQ(Answered(api.CopyHeaders(1, buffer, INT32_MIN)), (Answer{0, 87}));
  EXPECT_EQ(Answered(api.CopyBody(1, nullptr, 0)), (Answer{0, 6}));
  KSRN_CHAR text[4];
  EXPECT_EQ(Answered(api.CopyRemoteAddress(1, text, -1)), (Answer{0, 87}));
  EXPECT_EQ(Answered(api.CopyRemoteAddress(1, nullptr, 2)), (Answer{0, 87}));
  for (int32_t mark : {0, 8, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(Answered(api.GetTimingUs(1, mark)), (Answer{0, 87})) << mark;
  }
  ASSERT_EQ(api.Init(1), 1);
}

TEST_F(ExportTest, CopyDeliversWhatFitsAndAlwaysReturnsTheFullSize) {
  const int32_t id = api.Get(BenchUrl("api.binance.com", "/bytes/10").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  ASSERT_EQ(Answered(api.GetRequestError(id)), (Answer{0, 0}));
  const std::string expected = PatternBytes(10);
  std::vector<uint8_t> buffer(64, 0xEE);
  auto copied = [&](size_t n) { return std::string(buffer.begin(), buffer.begin() + n); };

  EXPECT_EQ(Answered(api.GetBodySize(id)), (Answer{10, 0}));
  EXPECT_EQ(Answered(api.CopyBody(id, buffer.data(), 4)), (Answer{10, 122}));
  EXPECT_EQ(copied(4), expected.substr(0, 4));
  EXPECT_EQ(buffer[4], 0xEE) << "nothing beyond the capacity is written";
  EXPECT_EQ(Answered(api.CopyBody(id, nullptr, 0)), (Answer{10, 122})) << "size query";
  EXPECT_EQ(Answered(api.CopyBody(id, buffer.data(), 0)), (Answer{10, 122}));
  EXPECT_EQ(Answered(api.CopyBody(id, buffer.data(), 10)), (Answer{10, 0}));
  EXPECT_EQ(copied(10), expected);
  EXPECT_EQ(Answered(api.CopyBody(id, buffer.data(), 64)), (Answer{10, 0}));
  EXPECT_EQ(buffer[10], 0xEE);

  // The header block is a part of its own, sized and copied the same way.
  const int32_t headerSize = api.GetHeadersSize(id);
  EXPECT_EQ(api.GetLastError(), 0u);
  ASSERT_GT(headerSize, 12);
  const std::string headers = CopyHeaders(id);
  EXPECT_EQ(headers.size(), static_cast<size_t>(headerSize));
  std::vector<uint8_t> part(12, 0);
  EXPECT_EQ(Answered(api.CopyHeaders(id, part.data(), 12)), (Answer{headerSize, 122}));
  EXPECT_EQ(std::string(part.begin(), part.end()), headers.substr(0, 12));
  EXPECT_EQ(Answered(api.CopyHeaders(id, nullptr, 0)), (Answer{headerSize, 122}));
  // Reading changes nothing: the same answers again.
  EXPECT_EQ(CopyBody(id), expected);
  EXPECT_EQ(CopyHeaders(id), headers);
  EXPECT_EQ(Answered(api.GetBodySize(id)), (Answer{10, 0}));

  // The address copies as text does, in UTF-16 units with the terminator: the bench's host.
  KSRN_CHAR address[16];
  std::fill(std::begin(address), std::end(address), KSRN_CHAR{0x7E});
  EXPECT_EQ(Answered(api.CopyRemoteAddress(id, nullptr, 0)), (Answer{10, 122}));
  EXPECT_EQ(Answered(api.CopyRemoteAddress(id, address, 4)), (Answer{10, 122}));
  EXPECT_EQ(Text(address), Widen("127")) << "a prefix, terminated";
  EXPECT_EQ(address[4], KSRN_CHAR{0x7E});
  EXPECT_EQ(Answered(api.CopyRemoteAddress(id, address, 10)), (Answer{10, 0}));
  EXPECT_EQ(Text(address), Widen("127.0.0.1"));
  EXPECT_EQ(Answered(api.GetDelivery(id)), (Answer{KSRN_DELIVERY_ANSWERED, 0}));
  int32_t previous = 0;
  for (int32_t mark = KSRN_MARK_STARTED; mark <= KSRN_MARK_DONE; ++mark) {
    const int32_t us = api.GetTimingUs(id, mark);
    EXPECT_EQ(api.GetLastError(), 0u) << mark;
    EXPECT_GE(us, previous) << "mark " << mark << " reached, and not before the one ahead";
    previous = us;
  }
}

TEST_F(ExportTest, EmptyBodyCopiesAsZeroWithoutError) {
  const int32_t id = api.Get(BenchUrl("api.bybit.com", "/status/204").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  ASSERT_EQ(Answered(api.GetRequestError(id)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.GetBodySize(id)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.CopyBody(id, nullptr, 0)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.Succeeded(id)), (Answer{1, 0}));
  EXPECT_GT(api.GetHeadersSize(id), 0);
}

TEST_F(ExportTest, SuccessNeedsA2xxStatusAndTheWholeBody) {
  const struct {
    const char* path;
    int32_t status;
    int32_t succeeded;
  } cases[] = {
      {"/status/200", 200, 1},
      {"/status/204", 204, 1},
      {"/status/299", 299, 1},
      {"/status/300", 300, 0},
      {"/status/404", 404, 0},
      {"/status/500", 500, 0},
      // 200 with a body cut off at the 4 MiB limit.
      {"/bytes/4194305", 200, 0},
  };
  std::vector<int32_t> ids;
  for (const auto& c : cases) {
    ids.push_back(api.Get(BenchUrl("www.okx.com", c.path).c_str(), 60000));
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(cases[i].path);
    ASSERT_TRUE(WaitReady(ids[i]));
    EXPECT_EQ(Answered(api.Succeeded(ids[i])), (Answer{cases[i].succeeded, 0}));
    EXPECT_EQ(Answered(api.GetStatusCode(ids[i])), (Answer{cases[i].status, 0}));
    const uint32_t outcome = api.GetRequestError(ids[i]);
    EXPECT_EQ(api.GetLastError(), 0u);
    EXPECT_EQ(outcome == 0, cases[i].status != 200 || cases[i].succeeded == 1);
  }
  EXPECT_EQ(api.GetRequestError(ids.back()), 223u) << "body over the limit";
}

TEST_F(ExportTest, TimeOutInTheQueueIsAnOutcomeWithoutStatus) {
  HoldDispatch();
  const int32_t id = SubmitHeld(250);
  ASSERT_TRUE(WaitReady(id, 30s));
  EXPECT_EQ(Answered(api.GetStatusCode(id)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.GetRequestError(id)), (Answer{12002, 0}));
  EXPECT_EQ(Answered(api.Succeeded(id)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.GetBodySize(id)), (Answer{0, 0}));
}

}  // namespace
}  // namespace ksrn::test
