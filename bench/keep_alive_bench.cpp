// The cost of a GET in round trips, with and without kept connections, inside the hermetic bench
// behind its latency relay:
//   tests/sandbox/run --relay-rtt 20 build/<preset>/bench/keep_alive_bench [GETS] [ROUNDS]
// Three sides, each in a process of its own, take turns in every round: the library through its
// exports with keep-alive off (a new connection and TLS handshake per GET) and on (after one
// warming GET), and plain libcurl with one easy handle, which keeps its connection. Each makes
// GETS GETs of /keep/bytes/256, one at a time, and measures each from the call to the moment the
// host learns the outcome (KSRN_WaitForCompletion, no polling). The last lines give the median
// and p99 over all rounds in ms and in round trips, and the CPU per GET (getrusage: the whole
// process, every thread) of keep-alive on against plain libcurl, as the median of the rounds'
// ratios. Targets: keep-alive on at most 1.2 round trips at the median, off about 3.
#include <curl/curl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ksrn_host.h"

namespace {

constexpr const char* kPath = "/keep/bytes/256";
constexpr size_t kBodyBytes = 256;
constexpr int32_t kTimeoutMs = 10000;
constexpr int32_t kIdleMs = 60000;
constexpr double kWarmTargetRoundTrips = 1.2;

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What a side prints for the parent: its CPU per GET, then each GET's latency, in seconds.
void Report(double cpuPerGet, const std::vector<double>& latencies) {
  std::printf("%.9f", cpuPerGet);
  for (double latency : latencies) {
    std::printf(" %.9f", latency);
  }
  std::printf("\n");
}

// --- the library, through its exports -----------------------------------------------------------

// One GET, waited for without polling; its latency in seconds, negative when it failed.
double ExportGet(const KsrnApi& api, const KSRN_CHAR* url) {
  int32_t seen = api.WaitForCompletion(0, 0);
  const Clock::time_point start = Clock::now();
  const int32_t id = api.Get(url, kTimeoutMs);
  if (id == 0) {
    return -1;
  }
  while (api.IsReady(id) != 1) {
    seen = api.WaitForCompletion(seen, 1000);
  }
  const double latency = std::chrono::duration<double>(Clock::now() - start).count();
  const bool ok = api.Succeeded(id) == 1 && api.GetBodySize(id) == static_cast<int32_t>(kBodyBytes);
  api.Free(id);
  return ok ? latency : -1;
}

int RunExports(const std::string& url, int gets, bool keep) {
  KsrnApi api;
  if (!KsrnLoad(&api, KSRN_LIBRARY_PATH) || api.Init(KSRN_ABI_VERSION) != 1 ||
      api.SetKeepAliveMs(keep ? kIdleMs : 0) != 1) {
    return 2;
  }
  std::vector<KSRN_CHAR> wide(url.size() + 1);
  KsrnWiden(wide.data(), wide.size(), url.c_str());
  if (ExportGet(api, wide.data()) < 0) {  // warms the connection, or the one-off set-up
    return 1;
  }
  std::vector<double> latencies;
  const double before = CpuSeconds();
  for (int i = 0; i < gets; ++i) {
    latencies.push_back(ExportGet(api, wide.data()));
    if (latencies.back() < 0) {
      return 1;
    }
  }
  Report((CpuSeconds() - before) / gets, latencies);
  api.Shutdown();
  return 0;
}

// --- plain libcurl, one easy handle that keeps its connection ------------------------------------

size_t Collect(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

double CurlGet(CURL* easy) {
  std::string body;
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  const Clock::time_point start = Clock::now();
  const CURLcode result = curl_easy_perform(easy);
  const double latency = std::chrono::duration<double>(Clock::now() - start).count();
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  return result == CURLE_OK && status == 200 && body.size() == kBodyBytes ? latency : -1;
}

int RunCurl(const std::string& url, int gets) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(kTimeoutMs));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
  if (CurlGet(easy) < 0) {
    return 1;
  }
  std::vector<double> latencies;
  const double before = CpuSeconds();
  for (int i = 0; i < gets; ++i) {
    latencies.push_back(CurlGet(easy));
    if (latencies.back() < 0) {
      return 1;
    }
  }
  Report((CpuSeconds() - before) / gets, latencies);
  curl_easy_cleanup(easy);
  return 0;
}

// --- the rounds ---------------------------------------------------------------------------------

struct SideResult {
  double cpuPerGet = -1;  // seconds; negative when the side failed
  std::vector<double> latencies;
};

SideResult RunSide(const char* side, int gets) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return {};
  }
  const std::string count = std::to_string(gets);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execl("/proc/self/exe", "keep_alive_bench", "--side", side, count.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got = 0; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  SideResult result;
  std::istringstream in(text);
  double cpu = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !(in >> cpu)) {
    std::printf("%s: the run failed\n", side);
    return {};
  }
  for (double latency = 0; in >> latency;) {
    result.latencies.push_back(latency);
  }
  result.cpuPerGet = cpu;
  return result;
}

double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(q * values.size()));
  return values[index];
}

int Run(int gets, int rounds) {
  const char* rttText = std::getenv("KSRN_BENCH_RELAY_RTT_MS");
  if (rttText == nullptr || std::getenv("KSRN_BENCH_RELAY_HOST") == nullptr) {
    std::printf("run inside the bench: tests/sandbox/run --relay-rtt 20 keep_alive_bench\n");
    return 2;
  }
  const double rtt = std::atof(rttText) / 1000;
  struct Side {
    const char* name;
    const char* label;
    const char* target;
    std::vector<double> latencies;
    std::vector<double> cpuPerGet;
  };
  std::vector<Side> sides = {
      {"off", "exports, keep-alive off", " (expected: about 3 round trips)", {}, {}},
      {"on", "exports, keep-alive on", " (target: median <= 1.2 round trips)", {}, {}},
      {"curl", "plain libcurl, kept connection", "", {}, {}}};
  std::vector<double> ratios;  // keep-alive on against plain libcurl, per round
  for (int round = 0; round < rounds; ++round) {
    std::printf("round %d:", round + 1);
    for (size_t turn = 0; turn < sides.size(); ++turn) {
      Side& side = sides[(turn + static_cast<size_t>(round)) % sides.size()];
      const SideResult result = RunSide(side.name, gets);
      if (result.cpuPerGet < 0) {
        return 1;
      }
      side.latencies.insert(side.latencies.end(), result.latencies.begin(), result.latencies.end());
      side.cpuPerGet.push_back(result.cpuPerGet);
      std::printf(" %s median %.1f ms, CPU %.3f ms;", side.name,
                  Quantile(result.latencies, 0.5) * 1e3, result.cpuPerGet * 1e3);
    }
    ratios.push_back(sides[1].cpuPerGet.back() / sides[2].cpuPerGet.back());
    std::printf(" CPU ratio on/curl %.3f\n", ratios.back());
    std::fflush(stdout);
  }
  for (const Side& side : sides) {
    const double median = Quantile(side.latencies, 0.5);
    const double p99 = Quantile(side.latencies, 0.99);
    std::printf(
        "GET one at a time at %.0f ms round trip, x%d over %d rounds, %s: median %.1f ms "
        "(%.2f round trips), p99 %.1f ms (%.2f round trips)%s\n",
        rtt * 1e3, gets, rounds, side.label, median * 1e3, median / rtt, p99 * 1e3, p99 / rtt,
        side.target);
  }
  std::printf(
      "CPU per warm GET x%d: exports, keep-alive on %.3f ms, plain libcurl with a kept "
      "connection %.3f ms: ratio %.3f, median of %d rounds\n",
      gets, Quantile(sides[1].cpuPerGet, 0.5) * 1e3, Quantile(sides[2].cpuPerGet, 0.5) * 1e3,
      Quantile(ratios, 0.5), rounds);
  return Quantile(sides[1].latencies, 0.5) / rtt <= kWarmTargetRoundTrips ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--side") == 0) {
    const char* host = std::getenv("KSRN_BENCH_RELAY_HOST");
    const std::string url = std::string("https://") + (host != nullptr ? host : "") + kPath;
    const int gets = std::atoi(argv[3]);
    return std::strcmp(argv[2], "curl") == 0
               ? RunCurl(url, gets)
               : RunExports(url, gets, std::strcmp(argv[2], "on") == 0);
  }
  const int gets = argc > 1 ? std::atoi(argv[1]) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (gets < 1 || rounds < 1) {
    std::printf("usage: keep_alive_bench [GETS >= 1] [ROUNDS >= 1]\n");
    return 2;
  }
  return Run(gets, rounds);
}
