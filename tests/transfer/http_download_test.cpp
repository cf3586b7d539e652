#include "engine/http_download.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "fake_http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

using fake::Exchange;
using fake::Step;

constexpr auto kBlockWait = std::chrono::seconds(20);

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
  }
  return bytes;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class HttpDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    request.url.host = KSRN_WIDE("api.kraken.com");
    request.url.pathAndQuery = KSRN_WIDE("/0/public/Time");
    request.method = KSRN_WIDE("GET");
    request.timeoutMs = 10000;
    request.deadline = SteadyNow() + 10000 * kNanosecondsPerMillisecond;
  }

  void TearDown() override {
    EXPECT_EQ(request.sessionHandle.load(), nullptr);
    EXPECT_EQ(request.connectionHandle.load(), nullptr);
    EXPECT_EQ(request.requestHandle.load(), nullptr);
    EXPECT_EQ(fake::OpenHandleCount(), 0) << "every handle is closed on every path";
    EXPECT_EQ(fake::DoubleCloseCount(), 0);
  }

  // Runs the transfer while another thread plays the canceller or the watchdog once the fake
  // reports the transfer blocked.
  HttpResult DownloadAndAbortWhenBlocked(bool timedOut) {
    std::thread canceller([&] {
      ASSERT_TRUE(fake::WaitForBlocked(1, kBlockWait));
      (timedOut ? request.timedOut : request.cancelled).store(true);
      request.CloseNetworkHandles();
      fake::Release();  // a block without a handle yet (HttpOpen) only ends on release
    });
    HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
    canceller.join();
    return result;
  }

  HttpRequest request;
};

TEST_F(HttpDownloadTest, CompleteResponseIsReturnedWithStatusHeadersAndBody) {
  Exchange exchange;
  exchange.statusCode = 200;
  exchange.body = Pattern(200'000);
  exchange.rawHeaders = KSRN_WIDE("HTTP/1.1 200 OK\r\nX-Greeting: Gr\u00FC\u00DFe \u20AC\r\n\r\n");
  fake::ScriptDefault(exchange);

  HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());

  EXPECT_EQ(result.statusCode, 200u);
  EXPECT_EQ(result.error, 0u);
  EXPECT_TRUE(result.bodyComplete);
  EXPECT_EQ(result.body, exchange.body);
  EXPECT_EQ(result.headers, Bytes("HTTP/1.1 200 OK\r\nX-Greeting: Gr\xC3\xBC\xC3\x9F"
                                  "e \xE2\x82\xAC\r\n\r\n"));
  // Reads are at most 64 KiB each.
  EXPECT_EQ(fake::CallCount(Step::ReadData), 4);
}

TEST_F(HttpDownloadTest, RequestIsMadeAsTheRecordSays) {
  request.method = KSRN_WIDE("POST");
  request.url.pathAndQuery = KSRN_WIDE("/api/v3/order?symbol=BTCUSDT&x=%2F");
  request.headers = KSRN_WIDE("X-MBX-APIKEY: k\r\nX-Empty:");
  request.body = Bytes("a=1&b=2");
  fake::ScriptDefault({});

  HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());

  ASSERT_EQ(result.error, 0u);
  auto sent = fake::SentRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].host, KSRN_WIDE("api.kraken.com"));
  EXPECT_EQ(sent[0].port, 443);
  EXPECT_EQ(sent[0].method, KSRN_WIDE("POST"));
  EXPECT_EQ(sent[0].objectName, KSRN_WIDE("/api/v3/order?symbol=BTCUSDT&x=%2F"));
  EXPECT_EQ(sent[0].headers, request.headers);
  EXPECT_EQ(sent[0].body, request.body);
  const std::vector<std::pair<uint32_t, uint32_t>> options = {{63, 2}, {118, 3}};
  EXPECT_EQ(sent[0].options, options);
  // Both time-outs come from the time left and never exceed the budget.
  ASSERT_EQ(sent[0].timeoutsMs.size(), 2u);
  EXPECT_LE(sent[0].timeoutsMs[0], 10000);
  EXPECT_LE(sent[0].timeoutsMs[1], sent[0].timeoutsMs[0]);
  EXPECT_GT(sent[0].timeoutsMs[1], 5000);
  // Name resolution keeps WinHTTP's default (none): the watchdog bounds it.
  EXPECT_EQ(sent[0].resolveTimeoutsMs, std::vector<int>(2, 0));
}

TEST_F(HttpDownloadTest, FlagsOrAnExpiredDeadlineStopBeforeAnyNetworkCall) {
  struct Case {
    const char* name;
    bool cancelled;
    bool timedOut;
    int64_t deadlineFromNowMs;
    uint32_t error;
  };
  const Case cases[] = {
      {"cancelled", true, false, 10000, kErrorOperationAborted},
      {"timed out", false, true, 10000, kErrorWinhttpTimeout},
      {"both flags", true, true, 10000, kErrorWinhttpTimeout},
      {"deadline passed", false, false, -5, kErrorWinhttpTimeout},
      {"under a millisecond left", false, false, 0, kErrorWinhttpTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    HttpRequest fresh;
    fresh.cancelled.store(c.cancelled);
    fresh.timedOut.store(c.timedOut);
    fresh.deadline = SteadyNow() + c.deadlineFromNowMs * kNanosecondsPerMillisecond;
    HttpResult result = HttpDownload(fresh, std::make_shared<net::WireTrace>());
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.statusCode, 0u);
    EXPECT_FALSE(result.bodyComplete);
    EXPECT_EQ(fake::CallCount(Step::Open), 0);
    if (c.deadlineFromNowMs <= 0) {
      EXPECT_TRUE(fresh.timedOut.load());
    }
  }
}

// Each step that fails before the status is known gives status 0, no data and the step's code
// (31 when the step left none).
TEST_F(HttpDownloadTest, FailuresBeforeTheStatusKeepOnlyTheCode) {
  const Step steps[] = {Step::Open,      Step::SetTimeouts, Step::Connect, Step::OpenRequest,
                        Step::SetOption, Step::Send,        Step::Receive, Step::QueryStatus};
  for (Step step : steps) {
    for (uint32_t code : {kErrorWinhttpCannotConnect, kErrorSuccess}) {
      SCOPED_TRACE(testing::Message() << "step " << static_cast<int>(step) << " code " << code);
      fake::Reset();
      Exchange exchange;
      exchange.body = Pattern(10);
      exchange.failAt = step;
      exchange.failError = code;
      fake::ScriptDefault(exchange);
      HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
      EXPECT_EQ(result.error, code == kErrorSuccess ? kErrorGenFailure : code);
      EXPECT_EQ(result.statusCode, 0u);
      EXPECT_FALSE(result.bodyComplete);
      EXPECT_TRUE(result.body.empty());
      EXPECT_TRUE(result.headers.empty());
      EXPECT_EQ(fake::OpenHandleCount(), 0);
    }
  }
}

TEST_F(HttpDownloadTest, AFailureAfterTheDeadlineIsATimeout) {
  // The platform's own time-out ended the wait for the head under another code, before the
  // watchdog raised the flag.
  Exchange exchange;
  exchange.delay = std::chrono::milliseconds(60);
  exchange.failAt = Step::QueryStatus;
  exchange.failError = kErrorWinhttpSecureChannelError;
  fake::ScriptDefault(exchange);
  request.deadline = SteadyNow() + 30 * kNanosecondsPerMillisecond;
  const HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
  EXPECT_EQ(result.error, kErrorWinhttpTimeout);
}

TEST_F(HttpDownloadTest, SecondTimeoutAndDecompressionFailuresAreIgnored) {
  for (Step step : {Step::SetTimeouts, Step::SetOption}) {
    fake::Reset();
    Exchange exchange;
    exchange.body = Pattern(10);
    exchange.failAt = step;
    exchange.failOnCall = 2;
    exchange.failError = kErrorInvalidParameter;
    fake::ScriptDefault(exchange);
    HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
    EXPECT_EQ(result.error, 0u);
    EXPECT_TRUE(result.bodyComplete);
  }
}

TEST_F(HttpDownloadTest, BodyFailuresKeepStatusHeadersAndTheBytesReceived) {
  struct Case {
    const char* name;
    Step failAt;
    int failOnCall;
    uint32_t failError;
    bool readReturnsZero;
    uint32_t error;
  };
  const Case cases[] = {
      {"data query fails", Step::QueryDataAvailable, 2, kErrorWinhttpConnectionError, false,
       kErrorWinhttpConnectionError},
      {"read fails", Step::ReadData, 2, kErrorWinhttpConnectionError, false,
       kErrorWinhttpConnectionError},
      {"read fails without a code", Step::ReadData, 2, kErrorSuccess, false, kErrorGenFailure},
      {"read returns nothing", Step::None, 1, 0, true, kErrorReadFault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    Exchange exchange;
    exchange.statusCode = 503;
    exchange.body = Pattern(100);
    exchange.announceBytes = 40;
    exchange.failAt = c.failAt;
    exchange.failOnCall = c.failOnCall;
    exchange.failError = c.failError;
    exchange.readReturnsZero = c.readReturnsZero;
    fake::ScriptDefault(exchange);
    HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.statusCode, 503u);
    EXPECT_FALSE(result.bodyComplete);
    EXPECT_FALSE(result.headers.empty());
    const size_t received = c.readReturnsZero ? 0 : 40;
    EXPECT_EQ(result.body,
              std::vector<uint8_t>(exchange.body.begin(), exchange.body.begin() + received));
  }
}

// WinHTTP ends a response with a 0-byte read, not with a 0 count: a decoded body's trailer may
// be announced and then read as nothing. Such a body is complete; an empty read while more is
// announced stays a fault ("read returns nothing" above).
TEST_F(HttpDownloadTest, AnEmptyReadOfADecodedBodysTrailerEndsTheBody) {
  Exchange exchange;
  exchange.body = Pattern(70'000);
  exchange.trailerBytes = 8;
  fake::ScriptDefault(exchange);
  HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
  EXPECT_EQ(result.error, 0u);
  EXPECT_TRUE(result.bodyComplete);
  EXPECT_EQ(result.body, exchange.body);
}

TEST_F(HttpDownloadTest, BodyLimitIsTestedOnTheAnnouncedCount) {
  struct Case {
    const char* name;
    size_t bodySize;
    uint32_t announceBytes;
    std::optional<uint32_t> announceOverride;
    uint32_t error;
    size_t kept;
  };
  const Case cases[] = {
      {"exactly the limit", kMaxResponseBodyBytes, 0, std::nullopt, 0, kMaxResponseBodyBytes},
      {"one byte more, announced at once", kMaxResponseBodyBytes + 1, 0, std::nullopt,
       kErrorFileTooLarge, 0},
      {"one byte more, announced in pieces", kMaxResponseBodyBytes + 1, 65536, std::nullopt,
       kErrorFileTooLarge, kMaxResponseBodyBytes},
      {"a huge announcement", 10, 0, 0xFFFFFFFFu, kErrorFileTooLarge, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    Exchange exchange;
    exchange.body = Pattern(c.bodySize);
    exchange.announceBytes = c.announceBytes;
    exchange.announceOverride = c.announceOverride;
    fake::ScriptDefault(exchange);
    HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.bodyComplete, c.error == 0);
    EXPECT_EQ(result.body.size(), c.kept);
    EXPECT_TRUE(std::equal(result.body.begin(), result.body.end(), exchange.body.begin()));
  }
}

TEST_F(HttpDownloadTest, HeaderCaptureRowsAndLimits) {
  const WideString ascii65536 = WideString(65536 - 4, 'a') + KSRN_WIDE("\r\n\r\n");
  const WideString euros(30000, 0x20AC);  // 60,000 bytes of UTF-16, 90,000 of UTF-8
  struct Case {
    const char* name;
    std::optional<WideString> text;
    Step failAt;
    int failOnCall;
    uint32_t failError;
    uint32_t error;
    size_t headerBytes;
  };
  const Case cases[] = {
      {"exactly 65,536 units", ascii65536, Step::None, 1, 0, 0, 65536},
      {"one unit more", ascii65536 + KSRN_WIDE("a"), Step::None, 1, 0, kErrorFileTooLarge, 0},
      {"UTF-8 form over the limit", euros, Step::None, 1, 0, kErrorFileTooLarge, 0},
      {"trailing NULs dropped", WideString(KSRN_WIDE("HTTP/1.1 200 OK\r\n\r\n")) + WideString(3, 0),
       Step::None, 1, 0, 0, 19},
      {"only NULs", WideString(4, 0), Step::None, 1, 0, 0, 0},
      {"no header text", WideString(), Step::None, 1, 0, 0, 0},
      {"unpaired surrogate", WideString(KSRN_WIDE("X: ")) + WideChar(0xD800) + KSRN_WIDE("\r\n"),
       Step::None, 1, 0, kErrorNoUnicodeTranslation, 0},
      {"first query fails", std::nullopt, Step::QueryHeaders, 1, kErrorWinhttpHeaderNotFound,
       kErrorWinhttpHeaderNotFound, 0},
      {"first query fails without a code", std::nullopt, Step::QueryHeaders, 1, 0, kErrorGenFailure,
       0},
      {"second query fails", std::nullopt, Step::QueryHeaders, 2, kErrorWinhttpConnectionError,
       kErrorWinhttpConnectionError, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    Exchange exchange;
    exchange.statusCode = 201;
    exchange.body = Pattern(5);
    exchange.rawHeaders = c.text;
    exchange.failAt = c.failAt;
    exchange.failOnCall = c.failOnCall;
    exchange.failError = c.failError;
    fake::ScriptDefault(exchange);
    HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.statusCode, 201u) << "the status survives a header failure";
    EXPECT_EQ(result.headers.size(), c.headerBytes);
    EXPECT_EQ(result.bodyComplete, c.error == 0);
    if (c.error != 0) {
      EXPECT_TRUE(result.body.empty());
    }
  }
}

// A cancel or a time-out while the transfer is blocked in any step ends it with the abort code,
// whatever error the closing caused inside the step.
TEST_F(HttpDownloadTest, AbortWhileBlockedInAnyStep) {
  const Step steps[] = {
      Step::Open,         Step::SetOption,          Step::Send,    Step::Receive, Step::QueryStatus,
      Step::QueryHeaders, Step::QueryDataAvailable, Step::ReadData};
  for (Step step : steps) {
    for (bool timedOut : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "step " << static_cast<int>(step) << " timedOut " << timedOut);
      fake::Reset();
      request.cancelled.store(false);
      request.timedOut.store(false);
      Exchange exchange;
      exchange.statusCode = 200;
      exchange.body = Pattern(100);
      exchange.announceBytes = 50;
      exchange.blockAt = step;
      fake::ScriptDefault(exchange);
      HttpResult result = DownloadAndAbortWhenBlocked(timedOut);
      EXPECT_EQ(result.error, timedOut ? kErrorWinhttpTimeout : kErrorOperationAborted);
      EXPECT_FALSE(result.bodyComplete);
      const bool afterStatus =
          step == Step::QueryHeaders || step == Step::QueryDataAvailable || step == Step::ReadData;
      EXPECT_EQ(result.statusCode, afterStatus ? 200u : 0u);
      if (step == Step::ReadData) {
        EXPECT_TRUE(result.body.empty()) << "the read in progress was abandoned";
        EXPECT_FALSE(result.headers.empty());
      }
      EXPECT_EQ(fake::OpenHandleCount(), 0);
      EXPECT_EQ(fake::DoubleCloseCount(), 0);
    }
  }
}

TEST_F(HttpDownloadTest, AbortDuringTheBodyKeepsWhatArrived) {
  for (bool timedOut : {false, true}) {
    fake::Reset();
    request.cancelled.store(false);
    request.timedOut.store(false);
    Exchange exchange;
    exchange.statusCode = 206;
    exchange.body = Pattern(300);
    exchange.announceBytes = 100;
    exchange.blockAt = Step::QueryDataAvailable;
    exchange.blockOnCall = 3;
    fake::ScriptDefault(exchange);
    HttpResult result = DownloadAndAbortWhenBlocked(timedOut);
    EXPECT_EQ(result.error, timedOut ? kErrorWinhttpTimeout : kErrorOperationAborted);
    EXPECT_EQ(result.statusCode, 206u);
    EXPECT_FALSE(result.headers.empty());
    EXPECT_EQ(result.body,
              std::vector<uint8_t>(exchange.body.begin(), exchange.body.begin() + 200));
  }
}

TEST_F(HttpDownloadTest, HandleRefusedAtInstallationIsClosedAndReportsTheCancel) {
  Exchange exchange;
  exchange.blockAt = Step::Open;
  fake::ScriptDefault(exchange);
  // Blocking in HttpOpen leaves the session handle to be created after the cancel.
  HttpResult result = DownloadAndAbortWhenBlocked(false);
  EXPECT_EQ(result.error, kErrorOperationAborted);
  EXPECT_EQ(fake::CallCount(Step::Connect), 0);
}

}  // namespace
}  // namespace ksrn
