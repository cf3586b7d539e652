// Init, shutdown and the per-thread last error, through the exports. The states before the
// first init are covered by the C suite, which runs in a process of its own.
#include <future>
#include <thread>
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

TEST_F(ExportTest, AfterShutdownEveryEngineExportAnswers6UntilTheNextInit) {
  const int32_t id = HoldDispatch();
  ASSERT_EQ(Answered(api.Shutdown()), (Answer{1, 0}));
  for (const ExportCall& row : EngineCallsWithoutEngine(id)) {
    EXPECT_EQ(Answered(row.call()), row.expected) << row.name;
  }
  EXPECT_EQ(Answered(api.Shutdown()), (Answer{1, 0})) << "a second shutdown changes nothing";
  ASSERT_EQ(Answered(api.Init(1)), (Answer{1, 0}));
  EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 1168})) << "requests go with their engine";
  EXPECT_EQ(Answered(api.GetPendingCount()), (Answer{0, 0}));
}

TEST_F(ExportTest, RepeatedInitKeepsTheRunningEngineAndItsRequests) {
  HoldDispatch();
  const int32_t id = SubmitHeld();
  EXPECT_EQ(Answered(api.Init(1)), (Answer{1, 0}));
  // Still held back by the same engine's throttle, so neither restarted nor dropped.
  KsrnSleepMs(200);
  EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.Free(id)), (Answer{1, 0}));
}

TEST_F(ExportTest, WrongInterfaceVersionIsRefusedAndChangesNothing) {
  HoldDispatch();
  const int32_t id = SubmitHeld();
  for (int32_t version : {0, 2, -1}) {
    EXPECT_EQ(Answered(api.Init(version)), (Answer{0, 1306})) << version;
  }
  EXPECT_EQ(Answered(api.IsReady(id)), (Answer{0, 0}));
  EXPECT_EQ(Answered(api.GetAbiVersion()), (Answer{1, 0}));
}

TEST_F(ExportTest, IdsKeepRisingAcrossShutdownAndInit) {
  HoldDispatch();
  const int32_t first = SubmitHeld();
  for (int32_t next = first + 1; next < first + 5; ++next) {
    EXPECT_EQ(SubmitHeld(), next);
  }
  ASSERT_EQ(api.Shutdown(), 1);
  ASSERT_EQ(api.Init(1), 1);
  EXPECT_EQ(SubmitHeld(), first + 5);
  EXPECT_EQ(Answered(api.IsReady(first + 2)), (Answer{0, 1168}));
}

TEST_F(ExportTest, ThrottleDoesNotSurviveShutdown) {
  HoldDispatch();
  ASSERT_EQ(api.Shutdown(), 1);
  ASSERT_EQ(api.Init(1), 1);
  // A one-minute throttle would hold the second request for a minute; the new engine has none.
  const int32_t first = api.Get(BenchUrl("api.binance.com", "/bytes/1").c_str(), kFinishMs);
  const int32_t second = api.Get(BenchUrl("api.bybit.com", "/bytes/1").c_str(), kFinishMs);
  EXPECT_TRUE(WaitReady(first, 30s));
  EXPECT_TRUE(WaitReady(second, 30s));
}

TEST_F(ExportTest, EveryExportOverwritesTheLastErrorOnSuccessAndFailure) {
  const int32_t finished = HoldDispatch();
  const int32_t held = SubmitHeld();
  const int32_t toFree = SubmitHeld();
  const Text good = BenchUrl("api.kraken.com", "/bytes/1");
  const Text bad = Widen("https://api.kraken.com/a b");
  uint8_t buffer[64];
  const int32_t headerSize = api.GetHeadersSize(finished);
  ASSERT_GT(headerSize, 0);

  const std::vector<ExportCall> rows = {
      {"GetAbiVersion", [&] { return api.GetAbiVersion(); }, {1, 0}},
      {"Init", [&] { return api.Init(1); }, {1, 0}},
      {"SetThrottleMs accepted", [&] { return api.SetThrottleMs(60000); }, {1, 0}},
      {"SetThrottleMs refused", [&] { return api.SetThrottleMs(-1); }, {0, 87}},
      {"Request accepted",
       [&] { return api.Request(good.c_str(), nullptr, nullptr, nullptr, 0, 120000) > 0; },
       {1, 0}},
      {"Request refused",
       [&] { return api.Request(bad.c_str(), nullptr, nullptr, nullptr, 0, 0); },
       {0, 123}},
      {"Get accepted", [&] { return api.Get(good.c_str(), 120000) > 0; }, {1, 0}},
      {"IsReady not ready", [&] { return api.IsReady(held); }, {0, 0}},
      {"IsReady ready", [&] { return api.IsReady(finished); }, {1, 0}},
      {"IsReady id 0", [&] { return api.IsReady(0); }, {0, 87}},
      {"Succeeded", [&] { return api.Succeeded(finished); }, {1, 0}},
      {"Succeeded not ready", [&] { return api.Succeeded(held); }, {0, 996}},
      {"GetStatusCode", [&] { return api.GetStatusCode(finished); }, {200, 0}},
      {"GetRequestError", [&] { return api.GetRequestError(finished); }, {0, 0}},
      {"GetRequestError unknown id", [&] { return api.GetRequestError(0x7FFFFFFF); }, {1168, 1168}},
      {"GetBodySize", [&] { return api.GetBodySize(finished); }, {1, 0}},
      {"CopyBody", [&] { return api.CopyBody(finished, buffer, sizeof buffer); }, {1, 0}},
      {"GetHeadersSize", [&] { return api.GetHeadersSize(finished); }, {headerSize, 0}},
      {"CopyHeaders size query",
       [&] { return api.CopyHeaders(finished, nullptr, 0); },
       {headerSize, 122}},
      {"Cancel finished", [&] { return api.Cancel(finished); }, {1, 0}},
      {"Cancel id 0", [&] { return api.Cancel(0); }, {0, 1168}},
      {"Free", [&] { return api.Free(toFree); }, {1, 0}},
      {"Free again", [&] { return api.Free(toFree); }, {0, 1168}},
      {"WaitForCompletion refused", [&] { return api.WaitForCompletion(1, -1); }, {0, 87}},
      {"WaitForCompletion, nothing new: at once",
       [&] { return api.WaitForCompletion(api.WaitForCompletion(0, 0), 0) > 0; },
       {1, 0}},
      {"CancelAll", [&] { return api.CancelAll() >= 0; }, {1, 0}},
      {"GetPendingCount", [&] { return api.GetPendingCount() >= 0; }, {1, 0}},
      {"Shutdown", [&] { return api.Shutdown(); }, {1, 0}},
  };
  for (const ExportCall& row : rows) {
    api.Init(99);  // leaves 1306
    EXPECT_EQ(Answered(row.call()), row.expected) << row.name << " after a failing call";
  }
  ASSERT_EQ(api.Init(1), 1);
}

TEST(LastErrorTest, IsKeptPerThreadAndStartsAtZero) {
  const KsrnApi& api = Api();
  EXPECT_EQ(Answered(api.Init(2)), (Answer{0, 1306}));

  std::promise<void> set;
  std::promise<void> checked;
  std::thread other([&] {
    EXPECT_EQ(api.GetLastError(), 0u) << "a new thread starts with 0";
    EXPECT_EQ(Answered(api.CopyBody(1, nullptr, 5)), (Answer{0, 87}));
    set.set_value();
    checked.get_future().wait();
    EXPECT_EQ(api.GetLastError(), 87u) << "another thread's success left this one alone";
  });
  set.get_future().wait();
  EXPECT_EQ(api.GetLastError(), 1306u) << "another thread's failure left this one alone";
  EXPECT_EQ(Answered(api.GetAbiVersion()), (Answer{1, 0}));
  checked.set_value();
  other.join();
  EXPECT_EQ(api.GetLastError(), 0u);
}

}  // namespace
}  // namespace ksrn::test
