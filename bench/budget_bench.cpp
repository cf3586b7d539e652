// Shared per-host budgets against the simulated exchange's rate limit, inside the bench:
//   tests/sandbox/run build/linux/bench/budget_bench [UNITS_PER_SECOND] [SECONDS]
// Two, then six processes share one budget of UNITS_PER_SECOND on one host and drive it as fast
// as they can. Prints, per run, the most starts the processes made in any one-second interval
// (the library's promise: at most the budget) and the most arrivals the server saw in one (the
// same, give or take how much connection set-up times vary: target at most the budget, and at
// least 90% of it), and what the server answered; then the time from registration to the start
// grant of requests that have units, with a budget and without (the budget's own cost is
// engine_bench's "budget at a start" figure).
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "ksrn_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using Text = std::basic_string<KSRN_CHAR>;

constexpr const char* kHost = "api.kraken.com";
constexpr int kInFlight = 8;

Text Widen(const std::string& ascii) { return Text(ascii.begin(), ascii.end()); }

bool Start(KsrnApi& api) {
  return KsrnLoad(&api, KSRN_LIBRARY_PATH) && api.Init(KSRN_ABI_VERSION) == 1;
}

// One process of a run: keeps kInFlight requests going until the time is up; exits with the
// number of answers other than 200 (capped), so the parent can report them.
int Drive(const std::string& share, const std::string& key, int units, int seconds, int out) {
  KsrnApi api{};
  if (!Start(api) || api.ShareBudgets(Widen(share).c_str()) != 1 ||
      api.SetHostBudget(Widen(kHost).c_str(), units, 1000) != 1) {
    std::fprintf(stderr, "budget_bench: set-up failed (%u)\n", api.GetLastError());
    return 255;
  }
  const Text url = Widen("https://" + std::string(kHost) + "/limited/" + key + "/" +
                         std::to_string(units) + "/1000");
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::pair<int32_t, Clock::time_point>> ids;
  int refused = 0;
  while (Clock::now() < end || !ids.empty()) {
    while (Clock::now() < end && static_cast<int>(ids.size()) < kInFlight) {
      const Clock::time_point submitted = Clock::now();
      const int32_t id = api.Get(url.c_str(), 5000);
      if (id == 0) {
        break;
      }
      ids.emplace_back(id, submitted);
    }
    for (auto it = ids.begin(); it != ids.end();) {
      const auto [id, submitted] = *it;
      if (api.IsReady(id) == 0) {
        ++it;
        continue;
      }
      const int32_t status = api.GetStatusCode(id);
      refused += status != 200 && status != 0 ? 1 : 0;
      // The start on the steady clock, which every process shares: the submission's time plus
      // the grant's offset from registration, a few microseconds later.
      if (const int32_t startedUs = api.GetTimingUs(id, KSRN_MARK_STARTED); startedUs >= 0) {
        const int64_t at =
            std::chrono::duration_cast<std::chrono::microseconds>(submitted.time_since_epoch())
                .count() +
            startedUs;
        if (write(out, &at, sizeof at) != sizeof at) {
          refused = 254;
        }
      }
      api.Free(id);
      it = ids.erase(it);
    }
    KsrnSleepMs(1);
  }
  api.Shutdown();
  return std::min(refused, 254);
}

// The body of a GET, waited for.
std::string Fetch(KsrnApi& api, const std::string& path) {
  const int32_t id = api.Get(Widen("https://" + std::string(kHost) + path).c_str(), 30000);
  while (id != 0 && api.IsReady(id) == 0) {
    KsrnSleepMs(1);
  }
  std::string body(static_cast<size_t>(std::max(api.GetBodySize(id), 0)), '\0');
  api.CopyBody(id, reinterpret_cast<uint8_t*>(body.data()), static_cast<int32_t>(body.size()));
  api.Free(id);
  return body;
}

// The most starts within any interval of a second.
size_t BusiestSecond(std::vector<int64_t> startsUs) {
  std::sort(startsUs.begin(), startsUs.end());
  size_t most = 0;
  for (size_t first = 0, last = 0; last < startsUs.size(); ++last) {
    while (startsUs[first] <= startsUs[last] - 1'000'000) {
      ++first;
    }
    most = std::max(most, last - first + 1);
  }
  return most;
}

// Microseconds from registration to the start grant, one request at a time, p50 and p99.
void StartLatency(KsrnApi& api, bool budgeted) {
  api.SetHostBudget(Widen(kHost).c_str(), budgeted ? 1000000 : 0, 1000);
  const Text url = Widen("https://" + std::string(kHost) + "/bytes/1");
  std::vector<int32_t> micros;
  for (int i = 0; i < 400; ++i) {
    const int32_t id = api.Get(url.c_str(), 30000);
    while (api.IsReady(id) == 0) {
      KsrnSleepMs(1);
    }
    micros.push_back(api.GetTimingUs(id, KSRN_MARK_STARTED));
    api.Free(id);
  }
  std::sort(micros.begin(), micros.end());
  std::printf("budget_bench: start grant after registration, %s: p50 %d us, p99 %d us\n",
              budgeted ? "budget with units" : "no budget", micros[micros.size() / 2],
              micros[micros.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
  const int units = argc > 1 ? std::atoi(argv[1]) : 20;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  if (units < 1 || seconds < 1) {
    std::fprintf(stderr, "usage: budget_bench [UNITS_PER_SECOND] [SECONDS]\n");
    return 2;
  }
  bool ok = true;
  std::vector<std::pair<int, std::string>> runs = {{2, "two"}, {6, "six"}};
  std::vector<int> refusedPerRun;
  std::vector<size_t> startsPerRun;
  for (const auto& [processes, key] : runs) {
    // The bench's process ids start afresh in every run: the clock keeps names apart.
    const std::string share = "budget-bench-" + std::to_string(time(nullptr)) + "-" + key;
    int starts[2];
    if (pipe(starts) != 0) {
      return 1;
    }
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
      const pid_t child = fork();
      if (child == 0) {
        close(starts[0]);
        _exit(Drive(share, key, units, seconds, starts[1]));
      }
      children.push_back(child);
    }
    close(starts[1]);
    std::vector<int64_t> startsUs;
    for (int64_t at = 0; read(starts[0], &at, sizeof at) == sizeof at;) {
      startsUs.push_back(at);
    }
    close(starts[0]);
    startsPerRun.push_back(BusiestSecond(startsUs));
    shm_unlink(("/kestrune-" + std::to_string(geteuid()) + "-" + share).c_str());
    int refused = 0;
    for (const pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
      ok = ok && code != 255;
      refused += code;
    }
    refusedPerRun.push_back(refused);
  }
  KsrnApi api{};
  if (!Start(api)) {
    return 1;
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const int worst = std::atoi(Fetch(api, "/limited-stats/" + runs[i].second + "/1000").c_str());
    const bool met = worst <= units && worst * 10 >= units * 9;
    ok = ok && met && startsPerRun[i] <= static_cast<size_t>(units);
    std::printf(
        "budget_bench: %d processes sharing %d/s for %d s: at most %zu starts in any 1 s "
        "(promise <= %d); at most %d arrivals in any 1 s at the server (target <= %d and "
        ">= %d), %d answers other than 200: %s\n",
        runs[i].first, units, seconds, startsPerRun[i], units, worst, units, (units * 9 + 9) / 10,
        refusedPerRun[i], met ? "met" : "MISSED");
  }
  StartLatency(api, false);
  StartLatency(api, true);
  api.Shutdown();
  return ok ? 0 : 1;
}
