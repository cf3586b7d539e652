// Many host threads call every export at random while another thread cycles KSRN_Shutdown and
// KSRN_Init. Built with the sanitizer presets this hunts races and use-after-free between the
// lifecycle, the engine and the host calls; everywhere it checks that each call answers with a
// code that call may give and that no id is ever handed out twice.
#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <random>
#include <thread>
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

constexpr int kHostThreads = 8;
constexpr int kShutdownCycles = 60;

bool IsOneOf(uint32_t error, std::initializer_list<uint32_t> allowed) {
  return std::find(allowed.begin(), allowed.end(), error) != allowed.end();
}

class HostThread {
 public:
  explicit HostThread(unsigned seed) : random(seed) {}

  void Run(const std::atomic<bool>& done) {
    while (!done.load()) {
      CallOneExport();
    }
  }

  std::vector<int32_t> submitted;

 private:
  int32_t PickId() {
    if (!submitted.empty() && Chance(4, 5)) {
      return submitted[Below(submitted.size())];
    }
    return static_cast<int32_t>(Below(8)) - 2;  // also 0 and negative ids
  }

  bool Chance(unsigned in, unsigned of) { return Below(of) < in; }
  size_t Below(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random); }

  // Allowed codes for every call that works on the engine: not initialised, or an engine
  // acquired just before a concurrent shutdown.
  void Expect(const char* what, std::initializer_list<uint32_t> allowed) {
    const uint32_t error = api.GetLastError();
    EXPECT_TRUE(IsOneOf(error, allowed)) << what << " left " << error;
  }

  void Submit() {
    static const char* const paths[] = {"/bytes/64", "/bytes/70000", "/delay-headers/300",
                                        "/slow-body/2000/500/20", "/status/503"};
    const Text url = BenchUrl(Chance(1, 2) ? "api.binance.com" : "api.kraken.com",
                              paths[Below(std::size(paths))]);
    const int32_t timeoutMs = 250 + static_cast<int32_t>(Below(750));
    const int32_t id = Chance(1, 2)
                           ? api.Get(url.c_str(), timeoutMs)
                           : api.Request(url.c_str(), KSRN_TEXT("post"), nullptr,
                                         reinterpret_cast<const uint8_t*>("ab"), 2, timeoutMs);
    Expect("submission", {0, 6, 995, 1816});
    if (id != 0) {
      submitted.push_back(id);
    }
  }

  void CallOneExport() {
    uint8_t buffer[128];
    const int32_t id = PickId();
    switch (Below(19)) {
      case 0:
        EXPECT_EQ(Answered(api.GetAbiVersion()), (Answer{1, 0}));
        break;
      case 1:
        EXPECT_EQ(Answered(api.Init(1)), (Answer{1, 0}));
        break;
      case 2:
        if (Chance(1, 20)) {
          EXPECT_EQ(Answered(api.Shutdown()), (Answer{1, 0}));
        }
        break;
      case 3:
        api.SetThrottleMs(static_cast<int32_t>(Below(6)) - 1);
        Expect("SetThrottleMs", {0, 6, 87});
        break;
      case 4:
      case 5:
        Submit();
        break;
      case 6:
        api.IsReady(id);
        Expect("IsReady", {0, 6, 87, 1168});
        break;
      case 7:
        api.Succeeded(id);
        Expect("Succeeded", {0, 6, 87, 1168, 996});
        break;
      case 8:
        api.GetStatusCode(id);
        Expect("GetStatusCode", {0, 6, 87, 1168, 996});
        break;
      case 9: {
        const uint32_t outcome = api.GetRequestError(id);
        const uint32_t error = api.GetLastError();
        EXPECT_TRUE(error == 0 || outcome == error) << "GetRequestError";
        Expect("GetRequestError", {0, 6, 87, 1168, 996});
        break;
      }
      case 10:
        api.GetBodySize(id);
        Expect("GetBodySize", {0, 6, 87, 1168, 996});
        break;
      case 11:
        api.CopyBody(id, buffer, static_cast<int32_t>(Below(sizeof buffer)));
        Expect("CopyBody", {0, 6, 87, 1168, 996, 122});
        break;
      case 12:
        api.GetHeadersSize(id);
        Expect("GetHeadersSize", {0, 6, 87, 1168, 996});
        break;
      case 13:
        api.CopyHeaders(id, Chance(1, 2) ? buffer : nullptr, 0);
        Expect("CopyHeaders", {0, 6, 87, 1168, 996, 122});
        break;
      case 14:
        api.Cancel(id);
        Expect("Cancel", {0, 6, 1168});
        break;
      case 15:
        api.Free(id);
        Expect("Free", {0, 6, 1168});
        break;
      case 16:
        if (Chance(1, 10)) {
          api.CancelAll();
          Expect("CancelAll", {0, 6});
        }
        break;
      case 17:
        EXPECT_GE(api.GetPendingCount(), 0);
        Expect("GetPendingCount", {0, 6});
        break;
      case 18:
        api.GetLastError();
        break;
    }
  }

  const KsrnApi& api = Api();
  std::minstd_rand random;
};

TEST(ExportStressTest, RandomCallsFromManyThreadsAgainstShutdownAndInitCycles) {
  const KsrnApi& api = Api();
  ASSERT_EQ(api.Init(1), 1);
  std::vector<HostThread> hosts;
  for (int i = 0; i < kHostThreads; ++i) {
    hosts.emplace_back(static_cast<unsigned>(i + 1));
  }
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (HostThread& host : hosts) {
    threads.emplace_back([&host, &done] { host.Run(done); });
  }
  std::minstd_rand random(7);
  for (int cycle = 0; cycle < kShutdownCycles; ++cycle) {
    KsrnSleepMs(static_cast<int>(random() % 40));
    EXPECT_EQ(Answered(api.Shutdown()), (Answer{1, 0}));
    KsrnSleepMs(static_cast<int>(random() % 5));
    EXPECT_EQ(Answered(api.Init(1)), (Answer{1, 0}));
  }
  done.store(true);
  for (std::thread& thread : threads) {
    thread.join();
  }

  std::vector<int32_t> all;
  for (const HostThread& host : hosts) {
    all.insert(all.end(), host.submitted.begin(), host.submitted.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "an id was handed out twice";
  EXPECT_FALSE(all.empty());

  // Whatever the threads left behind, a fresh engine works.
  ASSERT_EQ(api.Shutdown(), 1);
  ASSERT_EQ(api.Init(1), 1);
  EXPECT_EQ(Answered(api.GetPendingCount()), (Answer{0, 0}));
  const int32_t id = api.Get(BenchUrl("api.bybit.com", "/bytes/5").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(id));
  EXPECT_EQ(api.Succeeded(id), 1);
  EXPECT_EQ(api.Shutdown(), 1);
}

}  // namespace
}  // namespace ksrn::test
