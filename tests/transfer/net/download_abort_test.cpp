// HttpDownload over the platform's operation set against the simulated exchange: transfers that
// end early. A cancel or the watchdog (another thread setting a flag and closing the record's
// handles) ends a blocked transfer at once; the transfer's own time-outs end a silent server's
// exchange; TLS faults, refused connections and broken bodies end as failures, never as success.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "bench_request.h"
#include "platform/win32_errors.h"
#include "wine.h"

namespace ksrn::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Far below the server's 10 s, far above any scheduling delay.
constexpr auto kPromptly = 2s;

// Runs the transfer and, once it has run for blockedFor, plays the canceller (or the watchdog):
// sets the flag, then closes the record's handles. closeToEnd is how long the transfer ran on.
HttpResult DownloadAndAbort(HttpRequest& request, Clock::duration blockedFor, bool timedOut,
                            Clock::duration& closeToEnd) {
  std::atomic<bool> started{false};
  Clock::time_point closedAt;
  std::thread canceller([&] {
    while (!started.load()) {
      std::this_thread::yield();
    }
    std::this_thread::sleep_for(blockedFor);
    (timedOut ? request.timedOut : request.cancelled).store(true);
    closedAt = Clock::now();
    request.CloseNetworkHandles();
  });
  started.store(true);
  HttpResult result = HttpDownload(request, std::make_shared<net::WireTrace>());
  const Clock::time_point endedAt = Clock::now();
  canceller.join();
  closeToEnd = endedAt - closedAt;
  return result;
}

void ExpectNoHandlesLeft(const HttpRequest& request) {
  EXPECT_EQ(request.sessionHandle.load(), nullptr);
  EXPECT_EQ(request.connectionHandle.load(), nullptr);
  EXPECT_EQ(request.requestHandle.load(), nullptr);
}

TEST(DownloadAbortTest, AnAbortBeforeTheHeadEndsTheTransferAtOnce) {
  struct Case {
    const char* name;
    bool timedOut;
    uint32_t error;
  };
  for (const Case& c : {Case{"cancel", false, kErrorOperationAborted},
                        Case{"watchdog", true, kErrorWinhttpTimeout}}) {
    SCOPED_TRACE(c.name);
    const auto request = MakeRequest({"/delay-headers/10000"});
    Clock::duration closeToEnd{};
    const HttpResult result = DownloadAndAbort(*request, 500ms, c.timedOut, closeToEnd);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.statusCode, 0u);
    EXPECT_FALSE(result.bodyComplete);
    EXPECT_TRUE(result.body.empty());
    EXPECT_TRUE(result.headers.empty());
    EXPECT_LT(closeToEnd, kPromptly) << "the transfer waited for the server";
    ExpectNoHandlesLeft(*request);
  }
}

TEST(DownloadAbortTest, ACancelDuringTheBodyKeepsStatusHeadAndTheBytesReceived) {
  // 100 bytes at once, the next 100 only after 10 s.
  const auto request = MakeRequest({"/slow-body/1000/100/10000"});
  Clock::duration closeToEnd{};
  const HttpResult result = DownloadAndAbort(*request, 1s, false, closeToEnd);
  EXPECT_EQ(result.error, kErrorOperationAborted);
  EXPECT_EQ(result.statusCode, 200u);
  EXPECT_FALSE(result.bodyComplete);
  EXPECT_EQ(result.body, Pattern(100));
  EXPECT_EQ(Text(result.headers).rfind("HTTP/1.1 200 ", 0), 0u);
  EXPECT_LT(closeToEnd, kPromptly);
  ExpectNoHandlesLeft(*request);
}

TEST(DownloadAbortTest, ASilentServerRunsIntoTheTransfersOwnTimeOut) {
  const auto start = Clock::now();
  const HttpResult result = Download({"/delay-headers/5000", "GET", "", {}, 500});
  EXPECT_EQ(result.error, kErrorWinhttpTimeout);
  EXPECT_EQ(result.statusCode, 0u);
  EXPECT_FALSE(result.bodyComplete);
  EXPECT_LT(Clock::now() - start, 4500ms) << "the server answered first";
}

TEST(DownloadAbortTest, BadHostsFailWithTheirCodes) {
  struct Case {
    const char* name;
    const WideChar* host;
    uint32_t error;
  };
  const Case cases[] = {
      {"untrusted certificate", KSRN_WIDE("api.toobit.com"), kErrorWinhttpSecureFailure},
      {"certificate for another name", KSRN_WIDE("api.lbkex.com"), kErrorWinhttpSecureFailure},
      {"expired certificate", KSRN_WIDE("sapi.xt.com"), kErrorWinhttpSecureFailure},
      {"connection refused", KSRN_WIDE("api.bithumb.com"), kErrorWinhttpCannotConnect},
  };
  // Twice each: nothing a first attempt leaves behind (a TLS session, an address) may let the
  // second one through.
  for (int attempt = 1; attempt <= 2; ++attempt) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", attempt " << attempt);
      RequestPlan plan{"/bytes/10"};
      plan.host = c.host;
      const HttpResult result = Download(plan);
      if (IsWine() && c.error == kErrorWinhttpSecureFailure) {
        EXPECT_EQ(result.error, kWineCertificateFailure)
            << "Wine 8: a failed certificate check is a secure channel error (12157)";
      } else {
        EXPECT_EQ(result.error, c.error);
      }
      EXPECT_EQ(result.statusCode, 0u);
      EXPECT_FALSE(result.bodyComplete);
      EXPECT_TRUE(result.body.empty());
    }
  }
}

TEST(DownloadAbortTest, ABodyCutShortIsAFailureWithTheBytesReceived) {
  // Both announce 2n bytes and send n; one then resets the connection, the other closes it.
  for (const char* path : {"/reset-mid-body/100000", "/close-early/100000"}) {
    SCOPED_TRACE(path);
    const HttpResult result = Download({path});
    EXPECT_EQ(result.error, kErrorWinhttpConnectionError);
    EXPECT_FALSE(result.bodyComplete);
    EXPECT_EQ(result.statusCode, 200u);
    EXPECT_LE(result.body.size(), 100000u);
    EXPECT_TRUE(IsPatternPrefix(result.body));
  }
}

}  // namespace
}  // namespace ksrn::test
