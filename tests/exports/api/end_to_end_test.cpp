// Whole requests against the simulated exchange of the hermetic bench, through the exports.
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST_F(ExportTest, SeveralExchangesAnswerAtOnceWithTheSimulatedBody) {
  const char* const hosts[] = {"api.binance.com", "open-api.bingx.com", "api.bybit.com",
                               "api.gateio.ws",   "api.coinex.com",     "www.okx.com",
                               "api.kraken.com",  "api.coinbase.com",   "api-pub.bitfinex.com"};
  std::vector<int32_t> ids;
  for (size_t i = 0; i < std::size(hosts); ++i) {
    const std::string path = "/bytes/" + std::to_string(1000 * (i + 1));
    ids.push_back(api.Get(BenchUrl(hosts[i], path).c_str(), kFinishMs));
    ASSERT_NE(ids.back(), 0) << hosts[i] << " " << api.GetLastError();
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(hosts[i]);
    ASSERT_TRUE(WaitReady(ids[i]));
    EXPECT_EQ(Answered(api.Succeeded(ids[i])), (Answer{1, 0}));
    EXPECT_EQ(api.GetStatusCode(ids[i]), 200);
    EXPECT_EQ(CopyBody(ids[i]), PatternBytes(1000 * (i + 1)));
    const std::string headers = CopyHeaders(ids[i]);
    EXPECT_TRUE(StartsWith(headers, "HTTP/1.1 200 OK\r\n")) << headers;
    EXPECT_TRUE(EndsWith(headers, "\r\n\r\n")) << headers;
    EXPECT_TRUE(Contains(headers, "\r\nContent-Length: " + std::to_string(1000 * (i + 1)) + "\r\n"))
        << headers;
    EXPECT_EQ(Answered(api.Free(ids[i])), (Answer{1, 0}));
  }
}

// The test command runs this suite with SSLKEYLOGFILE set, as a developer's shell may have it:
// a host's transfers must never write their TLS secrets there.
TEST_F(ExportTest, NoTlsSecretIsLoggedWhateverTheEnvironmentSays) {
  const char* keylog = std::getenv("SSLKEYLOGFILE");
  if (keylog == nullptr) {
    GTEST_SKIP() << "SSLKEYLOGFILE is not set for this run";
  }
  std::ofstream(keylog, std::ios::trunc).close();
  const int32_t id = api.Get(BenchUrl("api.kraken.com", "/bytes/10").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  ASSERT_EQ(api.Succeeded(id), 1);
  EXPECT_EQ(std::ifstream(keylog, std::ios::ate).tellg(), 0);
}

TEST_F(ExportTest, HeaderBlockArrivesAsUtf8) {
  const int32_t id = api.Get(BenchUrl("api.upbit.com", "/headers/utf8").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  EXPECT_EQ(api.Succeeded(id), 1);
  EXPECT_TRUE(Contains(CopyHeaders(id),
                       "\r\nX-Greeting: Gr\xC3\xBC\xC3\x9F"
                       "e \xE2\x82\xAC\r\n"));
}

TEST_F(ExportTest, PostSendsMethodHeadersAndBodyUnchanged) {
  const std::string body = "{\"symbol\":\"BTCUSDT\",\"qty\":1}";
  const int32_t id = api.Request(
      BenchUrl("api.bitget.com", "/echo?symbol=BTC%2FUSDT&x=1").c_str(), KSRN_TEXT("post"),
      KSRN_TEXT("X-Api-Key: k1\r\nX-Time: 12:30:00\r\n"),
      reinterpret_cast<const uint8_t*>(body.data()), static_cast<int32_t>(body.size()), 0);
  ASSERT_NE(id, 0) << api.GetLastError();
  ASSERT_TRUE(WaitReady(id));
  ASSERT_EQ(api.Succeeded(id), 1);
  const std::string echo = CopyBody(id);
  EXPECT_TRUE(StartsWith(echo, "POST /echo?symbol=BTC%2FUSDT&x=1 HTTP/1.1\r\n")) << echo;
  EXPECT_TRUE(Contains(echo, "\r\nX-Api-Key: k1\r\n")) << echo;
  EXPECT_TRUE(Contains(echo, "\r\nX-Time: 12:30:00\r\n")) << echo;
  EXPECT_TRUE(Contains(echo, "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"))
      << echo;
  EXPECT_TRUE(EndsWith(echo, "\r\n\r\n" + body)) << echo;
}

TEST_F(ExportTest, HeadReturnsTheHeadWithoutBody) {
  const int32_t id = api.Request(BenchUrl("api.crypto.com", "/bytes/100").c_str(),
                                 KSRN_TEXT("Head"), nullptr, nullptr, 0, kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  EXPECT_EQ(Answered(api.Succeeded(id)), (Answer{1, 0}));
  EXPECT_EQ(Answered(api.GetBodySize(id)), (Answer{0, 0}));
  EXPECT_TRUE(Contains(CopyHeaders(id), "\r\nContent-Length: 100\r\n"));
}

TEST_F(ExportTest, TransferPastItsBudgetTimesOut) {
  const int32_t id = api.Get(BenchUrl("api.huobi.pro", "/delay-headers/20000").c_str(), 1000);
  ASSERT_TRUE(WaitReady(id, 30s));
  EXPECT_EQ(Answered(api.GetRequestError(id)), (Answer{12002, 0}));
  EXPECT_EQ(Answered(api.GetStatusCode(id)), (Answer{0, 0}));
  EXPECT_EQ(api.Succeeded(id), 0);
}

TEST_F(ExportTest, CancelOfARunningTransferEndsItWith995) {
  const int32_t id = api.Get(BenchUrl("api.bitfinex.com", "/delay-headers/60000").c_str(), 120000);
  KsrnSleepMs(300);
  EXPECT_EQ(api.IsReady(id), 0);
  EXPECT_EQ(Answered(api.Cancel(id)), (Answer{1, 0}));
  ASSERT_TRUE(WaitReady(id, 30s));
  EXPECT_EQ(Answered(api.GetRequestError(id)), (Answer{995, 0}));
}

TEST_F(ExportTest, ShutdownWhileTransfersRunReturnsAndLeavesNoEngine) {
  // Four transfers in progress, the rest queued.
  std::vector<int32_t> ids;
  for (int i = 0; i < 4; ++i) {
    ids.push_back(api.Get(BenchUrl("api-aws.huobi.pro", "/slow-body/100000/100/50").c_str(), 5000));
  }
  for (int i = 0; i < 4; ++i) {
    ids.push_back(api.Get(BenchUrl("api.kraken.com", "/delay-headers/3000").c_str(), 5000));
  }
  KsrnSleepMs(500);
  EXPECT_EQ(Answered(api.Shutdown()), (Answer{1, 0}));
  for (const ExportCall& row : EngineCallsWithoutEngine(ids.front())) {
    EXPECT_EQ(Answered(row.call()), row.expected) << row.name;
  }
  ASSERT_EQ(api.Init(1), 1);
  for (int32_t id : ids) {
    EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 1168})) << id;
  }
}

}  // namespace
}  // namespace ksrn::test
