// How soon a thread waiting in KSRN_WaitForCompletion sees a request finish, inside the bench:
//   tests/sandbox/run build/linux/bench/completion_wait_bench [REQUESTS]
// Keeps four small GETs in flight on one thread that waits for the completion count to move and
// then checks its requests. For each request, the delay from its DONE mark (when the outcome was
// published) to the moment the waiting thread found it ready; p50, p99 and the worst of them
// (target p99 <= 1 ms). The marks count from the registration inside KSRN_Request, and the clock
// here starts just before the call, so each delay is over by the call's own few microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ksrn_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using Text = std::basic_string<KSRN_CHAR>;

constexpr int kInFlight = 4;
constexpr int32_t kTimeoutMs = 30000;

struct Pending {
  int32_t id;
  Clock::time_point submitted;
};

Text Widen(const std::string& ascii) { return Text(ascii.begin(), ascii.end()); }

int64_t Percentile(const std::vector<int64_t>& sorted, double share) {
  const size_t at = static_cast<size_t>(share * static_cast<double>(sorted.size() - 1));
  return sorted[at];
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(kInFlight, std::atoi(argv[1])) : 1000;
  KsrnApi api{};
  if (!KsrnLoad(&api, KSRN_LIBRARY_PATH) || api.Init(KSRN_ABI_VERSION) != 1) {
    std::fprintf(stderr, "completion_wait_bench: the library did not start\n");
    return 1;
  }
  const Text url = Widen("https://api.kraken.com/bytes/1");
  std::vector<int64_t> delaysUs;
  int failed = 0;
  int32_t seen = api.WaitForCompletion(0, 0);
  for (int started = 0; started < requests; started += kInFlight) {
    std::vector<Pending> pending;
    for (int i = 0; i < kInFlight; ++i) {
      const Clock::time_point submitted = Clock::now();
      const int32_t id = api.Get(url.c_str(), kTimeoutMs);
      if (id == 0) {
        std::fprintf(stderr, "completion_wait_bench: submission refused (%u)\n",
                     api.GetLastError());
        return 1;
      }
      pending.push_back({id, submitted});
    }
    while (!pending.empty()) {
      const int32_t count = api.WaitForCompletion(seen, 2 * kTimeoutMs);
      if (count == seen) {
        std::fprintf(stderr, "completion_wait_bench: a wait ran out of time\n");
        return 1;
      }
      seen = count;
      std::erase_if(pending, [&](const Pending& request) {
        if (api.IsReady(request.id) != 1) {
          return false;
        }
        const Clock::time_point found = Clock::now();
        const int32_t doneUs = api.GetTimingUs(request.id, KSRN_MARK_DONE);
        failed += api.Succeeded(request.id) == 1 ? 0 : 1;
        const auto done = request.submitted + std::chrono::microseconds(doneUs);
        delaysUs.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(found - done).count());
        api.Free(request.id);
        return true;
      });
    }
  }
  api.Shutdown();
  std::sort(delaysUs.begin(), delaysUs.end());
  std::printf(
      "completion wait: %zu requests (%d failed), DONE to seen by the waiter: "
      "p50 %lld us, p99 %lld us, max %lld us (target p99 <= 1000 us)\n",
      delaysUs.size(), failed, static_cast<long long>(Percentile(delaysUs, 0.5)),
      static_cast<long long>(Percentile(delaysUs, 0.99)), static_cast<long long>(delaysUs.back()));
  return 0;
}
