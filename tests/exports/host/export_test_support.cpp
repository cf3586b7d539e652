#include "export_test_support.h"

namespace ksrn::test {
namespace {

KsrnApi gApi;

}  // namespace

const KsrnApi& Api() { return gApi; }

bool LoadApi(const char* path) { return KsrnLoad(&gApi, path) != 0; }

std::ostream& operator<<(std::ostream& out, const Answer& answer) {
  return out << "{result " << answer.value << ", last error " << answer.error << "}";
}

std::vector<ExportCall> EngineCallsWithoutEngine(int32_t id) {
  const KsrnApi& api = Api();
  const Text url = BenchUrl("api.binance.com", "/bytes/1");
  return {
      {"SetThrottleMs", [&api] { return api.SetThrottleMs(10); }, {0, 6}},
      {"Request",
       [&api, url] { return api.Request(url.c_str(), nullptr, nullptr, nullptr, 0, 0); },
       {0, 6}},
      {"Get", [&api, url] { return api.Get(url.c_str(), 0); }, {0, 6}},
      {"IsReady", [&api, id] { return api.IsReady(id); }, {0, 6}},
      {"Succeeded", [&api, id] { return api.Succeeded(id); }, {0, 6}},
      {"GetStatusCode", [&api, id] { return api.GetStatusCode(id); }, {0, 6}},
      {"GetRequestError", [&api, id] { return api.GetRequestError(id); }, {6, 6}},
      {"GetBodySize", [&api, id] { return api.GetBodySize(id); }, {0, 6}},
      {"CopyBody",
       [&api, id] {
         uint8_t buffer[8];
         return api.CopyBody(id, buffer, sizeof buffer);
       },
       {0, 6}},
      {"GetHeadersSize", [&api, id] { return api.GetHeadersSize(id); }, {0, 6}},
      {"CopyHeaders", [&api, id] { return api.CopyHeaders(id, nullptr, 0); }, {0, 6}},
      {"Cancel", [&api, id] { return api.Cancel(id); }, {0, 6}},
      {"Free", [&api, id] { return api.Free(id); }, {0, 6}},
      {"CancelAll", [&api] { return api.CancelAll(); }, {0, 6}},
      {"GetPendingCount", [&api] { return api.GetPendingCount(); }, {0, 6}},
      {"GetDelivery", [&api, id] { return api.GetDelivery(id); }, {0, 6}},
      {"GetTimingUs", [&api, id] { return api.GetTimingUs(id, KSRN_MARK_DONE); }, {0, 6}},
      {"CopyRemoteAddress", [&api, id] { return api.CopyRemoteAddress(id, nullptr, 0); }, {0, 6}},
      {"SetHostBudget",
       [&api] { return api.SetHostBudget(KSRN_TEXT("api.binance.com"), 1, 1); },
       {0, 6}},
      {"RequestWeighted",
       [&api, url] { return api.RequestWeighted(url.c_str(), nullptr, nullptr, nullptr, 0, 0, 1); },
       {0, 6}},
      {"GetHostHoldMs", [&api] { return api.GetHostHoldMs(KSRN_TEXT("api.binance.com")); }, {0, 6}},
      {"GetHostUnitsLeft",
       [&api] { return api.GetHostUnitsLeft(KSRN_TEXT("api.binance.com")); },
       {0, 6}},
      {"ShareBudgets", [&api] { return api.ShareBudgets(KSRN_TEXT("bench")); }, {0, 6}},
      {"AllowMethod", [&api] { return api.AllowMethod(KSRN_TEXT("DELETE")); }, {0, 6}},
      {"SetKeepAliveMs", [&api] { return api.SetKeepAliveMs(1000); }, {0, 6}},
      {"GetConnectionReused", [&api, id] { return api.GetConnectionReused(id); }, {0, 6}},
      {"WaitForCompletion", [&api] { return api.WaitForCompletion(0, 0); }, {0, 6}},
  };
}

Text Widen(std::string_view ascii) { return Text(ascii.begin(), ascii.end()); }

Text BenchUrl(std::string_view host, std::string_view path) {
  return Widen("https://") + Widen(host) + Widen(path);
}

bool WaitReady(int32_t id, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Api().IsReady(id) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    KsrnSleepMs(5);
  }
  return true;
}

namespace {

std::string Copy(int32_t id, int32_t (*size)(int32_t),
                 int32_t (*copy)(int32_t, uint8_t*, int32_t)) {
  std::string data(static_cast<size_t>(size(id)), '\0');
  copy(id, reinterpret_cast<uint8_t*>(data.data()), static_cast<int32_t>(data.size()));
  return data;
}

}  // namespace

std::string CopyBody(int32_t id) { return Copy(id, Api().GetBodySize, Api().CopyBody); }

std::string CopyHeaders(int32_t id) { return Copy(id, Api().GetHeadersSize, Api().CopyHeaders); }

std::string PatternBytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<char>((i * 7 + 3) % 251);
  }
  return bytes;
}

void ExportTest::SetUp() { ASSERT_EQ(Answered(api.Init(1)), (Answer{1, 0})); }

void ExportTest::TearDown() { EXPECT_EQ(Answered(api.Shutdown()), (Answer{1, 0})); }

int32_t ExportTest::HoldDispatch() {
  EXPECT_EQ(api.SetThrottleMs(60000), 1);
  const int32_t id = api.Get(BenchUrl("api.binance.com", "/bytes/1").c_str(), kFinishMs);
  EXPECT_NE(id, 0);
  // Once this request has finished it has surely taken the slot that every later request now
  // waits a minute for.
  EXPECT_TRUE(WaitReady(id));
  return id;
}

int32_t ExportTest::SubmitHeld(int32_t timeoutMs) {
  const int32_t id = api.Request(BenchUrl("api.kraken.com", "/bytes/1").c_str(), nullptr, nullptr,
                                 nullptr, 0, timeoutMs);
  EXPECT_NE(id, 0) << "last error " << api.GetLastError();
  return id;
}

}  // namespace ksrn::test
