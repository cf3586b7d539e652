// Kept connections: which request takes a kept connection and which never may. The simulated
// exchange names its connection in X-Connection under /keep (tests/exchange/server.py), so reuse
// is seen from both ends.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

constexpr const char* kHost = "api.binance.com";
constexpr int32_t kKeepMs = 60000;

struct Fetched {
  uint32_t error = 0;
  int32_t status = 0;
  int32_t delivery = -1;
  int32_t reused = -1;
  int32_t marks[KSRN_MARK_DONE + 1] = {};
  std::string address;
  std::string connection;  // the server's serial of the connection, "" when it named none
  std::string body;
};

std::string HeaderValue(const std::string& head, const std::string& lowerName) {
  std::string lower = head;
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t at = lower.find("\r\n" + lowerName + ":");
  if (at == std::string::npos) {
    return "";
  }
  const size_t start = head.find_first_not_of(' ', at + lowerName.size() + 3);
  return head.substr(start, head.find("\r\n", start) - start);
}

// Submits, waits for the outcome, reads all of it and frees the request.
Fetched Fetch(const std::string& path, const KSRN_CHAR* method = nullptr,
              const std::string& body = "", int32_t timeoutMs = kFinishMs,
              const char* host = kHost) {
  const KsrnApi& api = Api();
  const int32_t id = api.Request(BenchUrl(host, path).c_str(), method, nullptr,
                                 reinterpret_cast<const uint8_t*>(body.data()),
                                 static_cast<int32_t>(body.size()), timeoutMs);
  Fetched got;
  EXPECT_NE(id, 0) << path << ": last error " << api.GetLastError();
  EXPECT_TRUE(WaitReady(id)) << path;
  got.error = api.GetRequestError(id);
  got.status = api.GetStatusCode(id);
  got.delivery = api.GetDelivery(id);
  got.reused = api.GetConnectionReused(id);
  EXPECT_EQ(api.GetLastError(), 0u) << path;
  for (int32_t mark = KSRN_MARK_STARTED; mark <= KSRN_MARK_DONE; ++mark) {
    got.marks[mark] = api.GetTimingUs(id, mark);
  }
  KSRN_CHAR address[64] = {};
  api.CopyRemoteAddress(id, address, 64);
  for (const KSRN_CHAR* unit = address; *unit != 0; ++unit) {
    got.address += static_cast<char>(*unit);
  }
  got.connection = HeaderValue(CopyHeaders(id), "x-connection");
  got.body = CopyBody(id);
  api.Free(id);
  return got;
}

TEST_F(ExportTest, KeepAliveArguments) {
  const int32_t first = HoldDispatch();
  const int32_t held = SubmitHeld();
  const struct {
    const char* name;
    std::function<int64_t()> call;
    Answer expected;
  } rows[] = {
      {"SetKeepAliveMs(-1)", [&] { return api.SetKeepAliveMs(-1); }, {0, 87}},
      {"SetKeepAliveMs(INT32_MIN)", [&] { return api.SetKeepAliveMs(INT32_MIN); }, {0, 87}},
      {"SetKeepAliveMs(300001)", [&] { return api.SetKeepAliveMs(300001); }, {0, 87}},
      {"SetKeepAliveMs(0)", [&] { return api.SetKeepAliveMs(0); }, {1, 0}},
      {"SetKeepAliveMs(1)", [&] { return api.SetKeepAliveMs(1); }, {1, 0}},
      {"SetKeepAliveMs(300000)", [&] { return api.SetKeepAliveMs(300000); }, {1, 0}},
      {"GetConnectionReused(0)", [&] { return api.GetConnectionReused(0); }, {0, 87}},
      {"GetConnectionReused(-1)", [&] { return api.GetConnectionReused(-1); }, {0, 87}},
      {"GetConnectionReused(unknown)",
       [&] { return api.GetConnectionReused(INT32_MAX); },
       {0, 1168}},
      {"GetConnectionReused(not ready)", [&] { return api.GetConnectionReused(held); }, {0, 996}},
      {"GetConnectionReused(fresh)", [&] { return api.GetConnectionReused(first); }, {0, 0}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Answered(row.call()), row.expected) << row.name;
  }
}

TEST_F(ExportTest, AWarmRequestTakesTheKeptConnection) {
  ASSERT_EQ(api.SetKeepAliveMs(kKeepMs), 1);
  const Fetched first = Fetch("/keep/status/200");
  const Fetched warm = Fetch("/keep/bytes/1000");
  EXPECT_EQ(first.reused, 0);
  EXPECT_EQ(warm.reused, 1);
  EXPECT_EQ(warm.body, PatternBytes(1000));
  EXPECT_NE(first.connection, "");
  EXPECT_EQ(warm.connection, first.connection) << "the server saw one connection";
  EXPECT_EQ(warm.address, first.address);
  EXPECT_EQ(warm.address.substr(0, 4), "127.");
  for (int32_t mark : {KSRN_MARK_RESOLVED, KSRN_MARK_CONNECTED, KSRN_MARK_SECURED}) {
    EXPECT_GE(first.marks[mark], 0) << mark;
    EXPECT_EQ(warm.marks[mark], -1) << mark;
  }
  EXPECT_GE(warm.marks[KSRN_MARK_SENT], 0);
  EXPECT_GE(warm.marks[KSRN_MARK_FIRST_BYTE], warm.marks[KSRN_MARK_SENT]);
}

// The server reads the request that follows on the kept connection and closes it unanswered
// (/keep/drop-next): a POST must reach it at most once, a GET is sent again on a new connection.
TEST_F(ExportTest, AKeptConnectionThatDiesBeforeTheAnswer) {
  ASSERT_EQ(api.SetKeepAliveMs(kKeepMs), 1);
  const struct {
    const KSRN_CHAR* method;
    const char* body;
    bool resent;
  } rows[] = {{KSRN_TEXT("POST"), "{\"qty\":1}", false}, {KSRN_TEXT("GET"), "", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.resent ? "GET" : "POST");
    // A key of this connection alone: the server's counts outlive the test.
    const std::string key = "drop" + Fetch("/keep/status/200").connection;
    ASSERT_EQ(Fetch("/keep/drop-next/" + key + "/status/200").reused, 1);
    const Fetched next = Fetch("/limited/" + key + "/1000000/600000", row.method, row.body);
    const std::string seen = Fetch("/seen/" + key).body;
    if (row.resent) {
      EXPECT_EQ(seen, "2");
      EXPECT_EQ(next.error, 0u);
      EXPECT_EQ(next.status, 200);
      EXPECT_EQ(next.reused, 0);
    } else {
      EXPECT_EQ(seen, "1") << "written at most once";
      if (next.status == 0) {
        EXPECT_EQ(next.error, KSRN_ERROR_WINHTTP_CONNECTION_ERROR);
        EXPECT_EQ(next.delivery, KSRN_DELIVERY_UNKNOWN);
      } else {
        EXPECT_EQ(next.status, 200) << "or an answer, from a connection of its own";
      }
    }
  }
}

// Each row warms a connection, does something, and checks that the next request does not get it.
TEST_F(ExportTest, WhatEndsAKeptConnection) {
  const struct {
    const char* name;
    int32_t idleMs;
    const char* warmPath;
    std::function<void(const KsrnApi&)> between;
    const char* nextHost;
  } rows[] = {
      {"the server asked to close", kKeepMs, "/keep/close/status/200", nullptr, kHost},
      {"idle longer than idleMs", 300, "/keep/status/200",
       [](const KsrnApi&) { KsrnSleepMs(1500); }, kHost},
      {"cancelled on it", kKeepMs, "/keep/status/200",
       [](const KsrnApi& api) {
         const int32_t id = api.Get(BenchUrl(kHost, "/keep/delay-headers/5000").c_str(), kFinishMs);
         KsrnSleepMs(1000);  // written long before
         api.Cancel(id);
         ASSERT_TRUE(WaitReady(id));
         EXPECT_EQ(api.GetRequestError(id), 995u);
         EXPECT_EQ(api.GetConnectionReused(id), 1);
         api.Free(id);
       },
       kHost},
      {"out of time on it", kKeepMs, "/keep/status/200",
       [](const KsrnApi&) {
         const Fetched late = Fetch("/keep/delay-headers/5000", nullptr, "", 1000);
         EXPECT_EQ(late.error, 12002u);
         EXPECT_EQ(late.reused, 1);
       },
       kHost},
      {"another host at the same address", kKeepMs, "/keep/status/200", nullptr, "api.bybit.com"},
      {"SetKeepAliveMs(0)", kKeepMs, "/keep/status/200",
       [](const KsrnApi& api) {
         EXPECT_EQ(api.SetKeepAliveMs(0), 1);
         EXPECT_EQ(api.SetKeepAliveMs(kKeepMs), 1);
       },
       kHost},
      {"KSRN_Shutdown, KSRN_Init", kKeepMs, "/keep/status/200",
       [](const KsrnApi& api) {
         EXPECT_EQ(api.Shutdown(), 1);
         EXPECT_EQ(api.Init(1), 1);
         EXPECT_EQ(api.SetKeepAliveMs(kKeepMs), 1);
       },
       kHost},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(api.SetKeepAliveMs(0), 1);  // no connection of an earlier row is left
    ASSERT_EQ(api.SetKeepAliveMs(row.idleMs), 1);
    const Fetched warm = Fetch(row.warmPath);
    ASSERT_EQ(warm.status, 200);
    if (row.between) {
      row.between(api);
    }
    const Fetched next = Fetch("/keep/status/200", nullptr, "", kFinishMs, row.nextHost);
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.reused, 0);
    EXPECT_NE(next.connection, warm.connection);
  }
}

#if !defined(_WIN32)
// The proxy comes from the environment at KSRN_Init (Linux): a host through the bench's proxy and
// a host without keep connections of their own, each reused only by its own host.
TEST_F(ExportTest, KeptConnectionsStayWithTheirProxy) {
  ASSERT_EQ(api.Shutdown(), 1);
  setenv("https_proxy", "http://127.0.0.1:3128", 1);
  setenv("no_proxy", kHost, 1);
  const bool started = api.Init(1) == 1;
  unsetenv("https_proxy");
  unsetenv("no_proxy");
  ASSERT_TRUE(started);
  ASSERT_EQ(api.SetKeepAliveMs(kKeepMs), 1);
  const char* proxied = "api.bybit.com";
  const Fetched direct = Fetch("/keep/status/200");
  const Fetched tunnel = Fetch("/keep/status/200", nullptr, "", kFinishMs, proxied);
  const Fetched tunnelAgain = Fetch("/keep/status/200", nullptr, "", kFinishMs, proxied);
  const Fetched directAgain = Fetch("/keep/status/200");
  EXPECT_EQ(tunnel.reused, 0);
  EXPECT_NE(tunnel.connection, direct.connection);
  EXPECT_EQ(tunnelAgain.reused, 1);
  EXPECT_EQ(tunnelAgain.connection, tunnel.connection);
  EXPECT_EQ(directAgain.reused, 1);
  EXPECT_EQ(directAgain.connection, direct.connection);
}
#endif

}  // namespace
}  // namespace ksrn::test
