// Whole-process CPU per small GET: the library through its exports against plain libcurl multi
// doing the same GETs, inside the hermetic bench:
//   tests/sandbox/run build/<preset>/bench/cpu_per_get_bench [GETS] [ROUNDS] [BASELINE_LIBRARY]
// Each side runs in a process of its own (this program again, with --side), makes a few GETs to
// warm up (the trust store, libcurl's and the library's one-off set-up), then GETS GETs of
// /bytes/256 from the simulated exchange, four at a time, each on a fresh connection (the
// library's keep-alive off), and reports the CPU its whole process used for them (getrusage:
// every thread, user and system). The GETs rotate over every good host of the bench, as a host
// trading on many exchanges does: libcurl's shared TLS session cache keeps 8 sessions, so a
// single host would hide what resumption across many hosts costs. Plain libcurl runs as an
// application would: one multi handle, a new easy handle per GET, the trust store parsed once
// and, as the library does, names and TLS sessions shared; a second libcurl side resumes no
// session, so that every GET costs a full handshake. The sides take turns at going first; the
// last lines give the medians over the rounds and their ratios to libcurl sharing sessions.
// BASELINE_LIBRARY, a copy of an earlier build of the library, adds a side that runs the exports
// over it in the same rounds, and a line for it.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ksrn_host.h"

namespace {

constexpr const char* kPath = "/bytes/256";
constexpr const char* kAllowlist[] = {
#include "validate/exchange_hosts.inc"
};
constexpr size_t kBodyBytes = 256;
constexpr int kInFlight = 4;
constexpr int kWarmUpGets = 8;
constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr double kRatioTarget = 1.0;

// The URLs of the bench's good hosts, those it sends to the simulated exchange's own address.
std::vector<std::string> BenchUrls() {
  std::vector<std::string> urls;
  for (const char* host : kAllowlist) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, "443", &hints, &found) != 0) {
      continue;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    if (ntohl(address->sin_addr.s_addr) == INADDR_LOOPBACK) {
      urls.push_back(std::string("https://") + host + kPath);
    }
    freeaddrinfo(found);
  }
  return urls;
}

struct Cpu {
  double user;
  double system;
  long switches;  // voluntary and involuntary context switches
  std::chrono::steady_clock::time_point at;
};

Cpu CpuUsed() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6,
          static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6,
          usage.ru_nvcsw + usage.ru_nivcsw, std::chrono::steady_clock::now()};
}

// CPU seconds per GET, the system's share of it, context switches per GET and GETs per second
// of wall time, for the parent.
void Report(const Cpu& before, int gets, int failed) {
  const Cpu after = CpuUsed();
  const double user = after.user - before.user;
  const double system = after.system - before.system;
  const double seconds = std::chrono::duration<double>(after.at - before.at).count();
  std::printf("%.9f %.3f %.2f %.1f %d\n", (user + system) / gets, system / (user + system),
              static_cast<double>(after.switches - before.switches) / gets, gets / seconds, failed);
}

// --- the library, through its exports -----------------------------------------------------------

// GETs count requests, kInFlight at a time, rotating over the URLs; the number that failed.
int ExportGets(const KsrnApi& api, const std::vector<std::basic_string<KSRN_CHAR>>& urls,
               int count) {
  std::vector<int32_t> running;
  int started = 0;
  int failed = 0;
  while (started < count || !running.empty()) {
    while (started < count && static_cast<int>(running.size()) < kInFlight) {
      const int32_t id = api.Get(urls[static_cast<size_t>(started) % urls.size()].c_str(), 10000);
      ++started;
      if (id == 0) {
        ++failed;
      } else {
        running.push_back(id);
      }
    }
    KsrnSleepMs(1);
    for (size_t i = 0; i < running.size();) {
      const int32_t id = running[i];
      if (api.IsReady(id) != 1) {
        ++i;
        continue;
      }
      failed += api.Succeeded(id) != 1 || api.GetBodySize(id) != static_cast<int32_t>(kBodyBytes);
      api.Free(id);
      running.erase(running.begin() + static_cast<ptrdiff_t>(i));
    }
  }
  return failed;
}

int RunExports(const char* library, const std::vector<std::string>& urls, int gets) {
  KsrnApi api;
  if (!KsrnLoad(&api, library) || api.Init(KSRN_ABI_VERSION) != 1) {
    return 2;
  }
  std::vector<std::basic_string<KSRN_CHAR>> wide;
  for (const std::string& url : urls) {
    wide.emplace_back(url.size() + 1, KSRN_CHAR{0});
    KsrnWiden(wide.back().data(), wide.back().size(), url.c_str());
    wide.back().pop_back();
  }
  if (ExportGets(api, wide, kWarmUpGets) != 0) {
    std::fprintf(stderr, "exports: warm-up GETs failed\n");
    return 1;
  }
  const Cpu before = CpuUsed();
  const int failed = ExportGets(api, wide, gets);
  Report(before, gets, failed);
  api.Shutdown();
  return failed == 0 ? 0 : 1;
}

// --- plain libcurl multi ------------------------------------------------------------------------

X509_STORE* gStore = nullptr;

CURLcode ShareStore(CURL*, void* sslContext, void*) {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), gStore);
  return CURLE_OK;
}

size_t Collect(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

struct Transfer {
  CURL* easy = nullptr;
  std::string body;
};

int CurlGets(CURLM* multi, CURLSH* share, bool resume, const std::vector<std::string>& urls,
             int count) {
  std::vector<Transfer*> running;
  int started = 0;
  int failed = 0;
  while (started < count || !running.empty()) {
    while (started < count && static_cast<int>(running.size()) < kInFlight) {
      auto* transfer = new Transfer;
      CURL* easy = curl_easy_init();
      transfer->easy = easy;
      curl_easy_setopt(easy, CURLOPT_URL, urls[static_cast<size_t>(started) % urls.size()].c_str());
      curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
      curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
      curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
      curl_easy_setopt(easy, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
      curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
      curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &ShareStore);
      curl_easy_setopt(easy, CURLOPT_SHARE, share);
      curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, resume ? 1L : 0L);
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer->body);
      curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer);
      curl_multi_add_handle(multi, easy);
      running.push_back(transfer);
      ++started;
    }
    int active = 0;
    curl_multi_perform(multi, &active);
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) {
        continue;
      }
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      long status = 0;
      curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
      failed +=
          message->data.result != CURLE_OK || status != 200 || transfer->body.size() != kBodyBytes;
      curl_multi_remove_handle(multi, transfer->easy);
      curl_easy_cleanup(transfer->easy);
      running.erase(std::find(running.begin(), running.end(), transfer));
      delete transfer;
    }
    if (!running.empty()) {
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
  }
  return failed;
}

int RunCurl(bool resume, const std::vector<std::string>& urls, int gets) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  gStore = X509_STORE_new();
  if (X509_STORE_load_file(gStore, kSystemBundle) != 1 ||
      X509_STORE_set_flags(gStore, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN) != 1) {
    return 2;
  }
  CURLM* multi = curl_multi_init();
  CURLSH* share = curl_share_init();
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  if (CurlGets(multi, share, resume, urls, kWarmUpGets) != 0) {
    std::fprintf(stderr, "libcurl: warm-up GETs failed\n");
    return 1;
  }
  const Cpu before = CpuUsed();
  const int failed = CurlGets(multi, share, resume, urls, gets);
  Report(before, gets, failed);
  curl_multi_cleanup(multi);
  curl_share_cleanup(share);
  return failed == 0 ? 0 : 1;
}

// --- the rounds ---------------------------------------------------------------------------------

struct SideResult {
  double perGet = -1;  // CPU seconds
  double systemShare = 0;
  double switches = 0;  // per GET
  double getsPerSecond = 0;
};

// Runs one side in a process of its own, on one processor if oneCpu; a negative perGet when it
// failed.
SideResult RunSide(const char* side, int gets, const char* library, bool oneCpu) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return {};
  }
  const std::string count = std::to_string(gets);
  const pid_t child = fork();
  if (child == 0) {
    if (oneCpu) {
      cpu_set_t allowed;
      CPU_ZERO(&allowed);
      if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        int first = 0;
        while (first < CPU_SETSIZE && !CPU_ISSET(first, &allowed)) {
          ++first;
        }
        CPU_ZERO(&allowed);
        CPU_SET(first, &allowed);
        sched_setaffinity(0, sizeof allowed, &allowed);
      }
    }
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execl("/proc/self/exe", "cpu_per_get_bench", "--side", side, count.c_str(),
          library != nullptr ? library : "", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  char text[128] = {};
  size_t length = 0;
  for (ssize_t got = 0; length + 1 < sizeof text &&
                        (got = read(pipeFds[0], text + length, sizeof text - 1 - length)) > 0;) {
    length += static_cast<size_t>(got);
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  SideResult result;
  int failed = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(text, "%lf %lf %lf %lf %d", &result.perGet, &result.systemShare, &result.switches,
                  &result.getsPerSecond, &failed) != 5 ||
      failed != 0) {
    std::printf("%s: the run failed (%s)\n", side, text);
    return {};
  }
  return result;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One line per round and placement, and last lines with the medians. Each round runs every side
// twice: free to use every processor, and held to one. Where the processors are hardware threads
// of one core, threads that run at once slow each other down and each is charged more CPU time
// for the same work; the library's workers run at once where plain libcurl's single loop does
// not, so the second figure compares the work itself. With a baseline library (an earlier build,
// say), each round also runs the exports side over it and more last lines compare it the same
// way, so that one run of the benchmark gives the figures before and after a change.
int Run(int gets, int rounds, const char* baseline) {
  if (std::getenv("KSRN_BENCH") == nullptr ||
      std::getenv("KSRN_BENCH_FULL_HANDSHAKES") != nullptr) {
    std::printf(
        "run inside the bench, which resumes sessions: tests/sandbox/run cpu_per_get_bench\n");
    return 2;
  }
  const size_t hosts = BenchUrls().size();
  if (hosts == 0) {
    std::printf("no good host of the bench resolves\n");
    return 2;
  }
  struct Side {
    const char* name;
    const char* label;
    const char* library;
    std::vector<double> perGet[2];
    std::vector<double> ratios[2];  // against plain libcurl of the same round and placement
    std::vector<double> getsPerSecond[2];
  };
  std::vector<Side> sides = {
      {"curl", "plain libcurl multi", nullptr, {}, {}, {}},
      {"exports", "exports, keep-alive off", KSRN_LIBRARY_PATH, {}, {}, {}},
      {"curl-full", "plain libcurl multi resuming no session", nullptr, {}, {}, {}}};
  if (baseline != nullptr) {
    sides.push_back({"baseline", "exports (baseline library)", baseline, {}, {}, {}});
  }
  constexpr const char* kPlacements[2] = {"every CPU", "one CPU"};
  for (int round = 0; round < rounds; ++round) {
    for (int placement = 0; placement < 2; ++placement) {
      // Each round starts with another side, so that drift of a shared machine hits all alike.
      std::printf("round %d, %s:", round + 1, kPlacements[placement]);
      std::vector<SideResult> results(sides.size());
      for (size_t turn = 0; turn < sides.size(); ++turn) {
        const size_t i = (turn + static_cast<size_t>(round)) % sides.size();
        results[i] = RunSide(sides[i].name, gets, sides[i].library, placement == 1);
        if (results[i].perGet < 0) {
          return 1;
        }
        std::printf(" %s %.3f ms (system %.0f%%, %.1f switches, %.0f GET/s)%s", sides[i].name,
                    results[i].perGet * 1e3, results[i].systemShare * 100, results[i].switches,
                    results[i].getsPerSecond, turn + 1 < sides.size() ? "," : "");
      }
      for (size_t i = 0; i < sides.size(); ++i) {
        sides[i].perGet[placement].push_back(results[i].perGet);
        sides[i].ratios[placement].push_back(results[i].perGet / results[0].perGet);
        sides[i].getsPerSecond[placement].push_back(results[i].getsPerSecond);
        if (i > 0) {
          std::printf("; %s ratio %.3f", sides[i].name, sides[i].ratios[placement].back());
        }
      }
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  for (int placement = 0; placement < 2; ++placement) {
    for (size_t i = 1; i < sides.size(); ++i) {
      std::printf(
          "CPU per GET x%d, four at a time over %zu hosts, a new connection each, %s: %s %.3f ms "
          "(%.0f GET/s), plain libcurl multi sharing TLS sessions %.3f ms (%.0f GET/s): ratio "
          "%.3f, median of %d rounds%s\n",
          gets, hosts, kPlacements[placement], sides[i].label,
          Median(sides[i].perGet[placement]) * 1e3, Median(sides[i].getsPerSecond[placement]),
          Median(sides[0].perGet[placement]) * 1e3, Median(sides[0].getsPerSecond[placement]),
          Median(sides[i].ratios[placement]), rounds, i == 1 ? " (target <= 1.00)" : "");
    }
  }
  return Median(sides[1].ratios[0]) <= kRatioTarget ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--side") == 0) {
    const int gets = std::atoi(argv[3]);
    const std::vector<std::string> urls = BenchUrls();
    if (std::strncmp(argv[2], "curl", 4) == 0) {
      return RunCurl(std::strcmp(argv[2], "curl") == 0, urls, gets);
    }
    return RunExports(argv[4], urls, gets);
  }
  const int gets = argc > 1 ? std::atoi(argv[1]) : 300;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (gets < 1 || rounds < 1) {
    std::printf("usage: cpu_per_get_bench [GETS >= 1] [ROUNDS >= 1] [BASELINE_LIBRARY]\n");
    return 2;
  }
  return Run(gets, rounds, argc > 3 ? argv[3] : nullptr);
}
