// KSRN_Request and KSRN_Get: the order of the checks, the limits, and what a refusal leaves.
// Accepted requests are held back by the throttle and freed, so none of them is sent.
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

class SubmissionTest : public ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    HoldDispatch();
  }

  // Submits; an accepted request is freed at once and reported as result 1.
  Answer Submit(const Text& url, const KSRN_CHAR* method, const KSRN_CHAR* headers,
                const uint8_t* body, int32_t bodyLength, int32_t timeoutMs) {
    const int32_t id = api.Request(url.c_str(), method, headers, body, bodyLength, timeoutMs);
    const Answer answer{id > 0 ? 1 : id, api.GetLastError()};
    if (id > 0) {
      EXPECT_EQ(api.Free(id), 1);
    }
    return answer;
  }

  const Text url = BenchUrl("api.kraken.com", "/0/public/Time");
  const Text badUrl = Widen("https://api.kraken.com/a b");
  const Text foreignUrl = BenchUrl("example.com", "/");
  const uint8_t body[4] = {1, 2, 3, 4};
};

struct OrderCase {
  const char* what;
  bool goodUrl;
  const KSRN_CHAR* method;
  const KSRN_CHAR* headers;
  bool withBody;
  int32_t bodyLength;
  int32_t timeoutMs;
  uint32_t expected;
};

TEST_F(SubmissionTest, FirstFailingCheckDecidesInTheDocumentedOrder) {
  const OrderCase cases[] = {
      {"time-out before URL", false, nullptr, nullptr, false, 0, 249, 87},
      {"negative length before URL", false, nullptr, nullptr, true, -1, 0, 87},
      {"null body with length before URL", false, nullptr, nullptr, false, 4, 0, 87},
      {"URL before method", false, KSRN_TEXT("PUT"), nullptr, false, 0, 0, 123},
      {"method before headers", true, KSRN_TEXT("PUT"), KSRN_TEXT("bad"), false, 0, 0, 5},
      {"long method before headers", true, KSRN_TEXT("ABCDEFGHIJKLMNOPQ"), KSRN_TEXT("bad"), false,
       0, 0, 111},
      {"headers before body", true, KSRN_TEXT("GET"), KSRN_TEXT("bad"), true, 4, 0, 13},
      {"refused header before body", true, nullptr, KSRN_TEXT("Host: x"), true, 4, 0, 5},
      {"body with GET", true, KSRN_TEXT("GET"), nullptr, true, 4, 0, 87},
      {"body with HEAD", true, KSRN_TEXT("head"), nullptr, true, 1, 0, 87},
      {"body with the default method", true, nullptr, nullptr, true, 4, 0, 87},
  };
  for (const OrderCase& c : cases) {
    EXPECT_EQ(Submit(c.goodUrl ? url : badUrl, c.method, c.headers, c.withBody ? body : nullptr,
                     c.bodyLength, c.timeoutMs),
              (Answer{0, c.expected}))
        << c.what;
  }
}

TEST_F(SubmissionTest, RefusedUrlsKeepTheValidatorsCode) {
  EXPECT_EQ(Submit(Widen(""), nullptr, nullptr, nullptr, 0, 0), (Answer{0, 123}));
  EXPECT_EQ(Submit(foreignUrl, nullptr, nullptr, nullptr, 0, 0), (Answer{0, 5}));
  EXPECT_EQ(Submit(Widen("http://api.kraken.com/"), nullptr, nullptr, nullptr, 0, 0),
            (Answer{0, 5}));
  EXPECT_EQ(api.Request(nullptr, nullptr, nullptr, nullptr, 0, 0), 0);
  EXPECT_EQ(api.GetLastError(), 123u);
}

TEST_F(SubmissionTest, MethodsAreCaseBlindAndLimitedToGetPostHead) {
  const struct {
    const KSRN_CHAR* method;
    uint32_t expected;
  } cases[] = {
      {nullptr, 0},
      {KSRN_TEXT(""), 0},
      {KSRN_TEXT("get"), 0},
      {KSRN_TEXT("Post"), 0},
      {KSRN_TEXT("hEaD"), 0},
      {KSRN_TEXT("PUT"), 5},
      {KSRN_TEXT("DELETE"), 5},
      {KSRN_TEXT("PATCH"), 5},
      {KSRN_TEXT("OPTIONS"), 5},
      {KSRN_TEXT("GET "), 5},
      {KSRN_TEXT("G\u00c9T"), 5},
      {KSRN_TEXT("ABCDEFGHIJKLMNOP"), 5},     // 16 units: taken, then refused
      {KSRN_TEXT("ABCDEFGHIJKLMNOPQ"), 111},  // 17 units
      {KSRN_TEXT("GETGETGETGETGETGE"), 111},
  };
  int row = 0;
  for (const auto& c : cases) {
    const Answer expected{c.expected == 0 ? 1 : 0, c.expected};
    EXPECT_EQ(Submit(url, c.method, nullptr, nullptr, 0, 0), expected) << "row " << row++;
  }
}

TEST_F(SubmissionTest, HeaderBlockLengthLimit) {
  const Text name = Widen("X-Long: ");
  Text longest = name + Text(65536 - name.size(), 'a');
  EXPECT_EQ(Submit(url, nullptr, longest.c_str(), nullptr, 0, 0), (Answer{1, 0}));
  // The length step only measures: a block of the maximum length still goes to validation.
  longest.back() = '\x01';
  EXPECT_EQ(Submit(url, nullptr, longest.c_str(), nullptr, 0, 0), (Answer{0, 13}));
  const Text tooLong = longest + Text(1, 'a');
  EXPECT_EQ(Submit(url, nullptr, tooLong.c_str(), nullptr, 0, 0), (Answer{0, 111}));
}

TEST_F(SubmissionTest, BodyLengthLimit) {
  const std::vector<uint8_t> large(1048577, 0x5A);
  EXPECT_EQ(Submit(url, KSRN_TEXT("POST"), nullptr, large.data(), 1048576, 0), (Answer{1, 0}));
  EXPECT_EQ(Submit(url, KSRN_TEXT("POST"), nullptr, large.data(), 1048577, 0), (Answer{0, 87}));
  EXPECT_EQ(Submit(url, KSRN_TEXT("POST"), nullptr, large.data(), -1, 0), (Answer{0, 87}));
  EXPECT_EQ(Submit(url, KSRN_TEXT("POST"), nullptr, large.data(), INT32_MIN, 0), (Answer{0, 87}));
  EXPECT_EQ(Submit(url, KSRN_TEXT("POST"), nullptr, nullptr, 0, 0), (Answer{1, 0}));
  // A body pointer with length 0 is no body, whatever the method.
  EXPECT_EQ(Submit(url, KSRN_TEXT("GET"), nullptr, body, 0, 0), (Answer{1, 0}));
  EXPECT_EQ(Submit(url, KSRN_TEXT("HEAD"), nullptr, body, 0, 0), (Answer{1, 0}));
}

TEST_F(SubmissionTest, TimeBudgetLimits) {
  const struct {
    int32_t timeoutMs;
    uint32_t expected;
  } cases[] = {{0, 0},       {250, 0}, {120000, 0},     {249, 87},
               {120001, 87}, {-1, 87}, {INT32_MIN, 87}, {INT32_MAX, 87}};
  for (const auto& c : cases) {
    EXPECT_EQ(Submit(url, nullptr, nullptr, nullptr, 0, c.timeoutMs),
              (Answer{c.expected == 0 ? 1 : 0, c.expected}))
        << c.timeoutMs;
  }
}

TEST_F(SubmissionTest, GetIsRequestWithDefaults) {
  const struct {
    Text url;
    int32_t timeoutMs;
  } cases[] = {{url, 0}, {url, 250}, {url, 249}, {badUrl, 0}, {foreignUrl, 0}, {badUrl, -5}};
  for (const auto& c : cases) {
    const int32_t byGet = api.Get(c.url.c_str(), c.timeoutMs);
    const uint32_t getError = api.GetLastError();
    const int32_t byRequest = api.Request(c.url.c_str(), nullptr, nullptr, nullptr, 0, c.timeoutMs);
    EXPECT_EQ(getError, api.GetLastError()) << c.timeoutMs;
    EXPECT_EQ(byGet > 0, byRequest > 0) << c.timeoutMs;
    if (byGet > 0 && byRequest > 0) {
      EXPECT_EQ(byRequest, byGet + 1);
      api.Free(byGet);
      api.Free(byRequest);
    }
  }
}

TEST_F(SubmissionTest, RefusalsConsumeNoIdAndLeaveNothingBehind) {
  const int32_t before = SubmitHeld();
  const int32_t pending = api.GetPendingCount();
  EXPECT_EQ(Submit(url, nullptr, nullptr, nullptr, 0, 1).error, 87u);
  EXPECT_EQ(Submit(badUrl, nullptr, nullptr, nullptr, 0, 0).error, 123u);
  EXPECT_EQ(Submit(foreignUrl, nullptr, nullptr, nullptr, 0, 0).error, 5u);
  EXPECT_EQ(Submit(url, KSRN_TEXT("TRACE"), nullptr, nullptr, 0, 0).error, 5u);
  EXPECT_EQ(Submit(url, KSRN_TEXT("ABCDEFGHIJKLMNOPQ"), nullptr, nullptr, 0, 0).error, 111u);
  EXPECT_EQ(Submit(url, nullptr, KSRN_TEXT("no colon"), nullptr, 0, 0).error, 13u);
  EXPECT_EQ(Submit(url, nullptr, nullptr, body, 4, 0).error, 87u);
  EXPECT_EQ(api.GetPendingCount(), pending);
  EXPECT_EQ(SubmitHeld(), before + 1);
}

TEST_F(SubmissionTest, TableHoldsThirtyTwoRequestsUntilOneIsFreed) {
  std::vector<int32_t> ids;
  while (true) {  // the held first request is one of the 32
    const int32_t id = api.Get(url.c_str(), 120000);
    if (id == 0) {
      break;
    }
    ids.push_back(id);
  }
  EXPECT_EQ(api.GetLastError(), 1816u);
  EXPECT_EQ(ids.size(), 31u);
  EXPECT_EQ(Answered(api.Get(url.c_str(), 0)), (Answer{0, 1816}));
  ASSERT_EQ(api.Free(ids.front()), 1);
  EXPECT_EQ(Answered(api.Get(url.c_str(), 0)), (Answer{ids.back() + 1, 0}));
}

}  // namespace
}  // namespace ksrn::test
