// End-to-end transfer figures inside the hermetic bench started with nginx:
//   tests/sandbox/run --with-nginx build/<preset>/bench/transfer_bench [transfers]
// 1. Sequential transfers of nginx's /small through HttpDownload against the same transfers
//    made with plain libcurl (one easy handle, a fresh connection each, the system trust
//    store), once with libcurl's defaults, which parse the CA bundle for every connection, and
//    once with the bundle parsed once, the best libcurl itself can do: that second ratio is the
//    cost of our layer. Every transfer makes a new TLS connection, so a trust store parsed per
//    connection would show at once.
// 2. How long a cancel takes to end a transfer blocked before the head (the simulated exchange
//    delays the head for 5 s).
// Each figure ends as one line next to its target; the exit status says whether all were met.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/http_download.h"
#include "engine/http_request.h"

namespace ksrn {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kHost = "api.binance.com";
constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kBatches = 10;
constexpr int kCancelRuns = 20;
constexpr double kRatioTarget = 1.10;
constexpr double kCancelTargetMs = 5.0;

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

std::shared_ptr<HttpRequest> MakeRequest(uint16_t port, const std::string& path) {
  auto request = std::make_shared<HttpRequest>();
  const std::string host = kHost;
  request->url.host.assign(host.begin(), host.end());
  request->url.pathAndQuery.assign(path.begin(), path.end());
  request->url.port = port;
  request->method = KSRN_WIDE("GET");
  request->timeoutMs = 10000;
  request->deadline = SteadyNow() + request->timeoutMs * kNanosecondsPerMillisecond;
  return request;
}

bool DownloadSmall(uint16_t port) {
  const auto request = MakeRequest(port, "/small");
  const HttpResult result = HttpDownload(*request, std::make_shared<net::WireTrace>());
  return result.error == 0 && result.statusCode == 200 && result.bodyComplete;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// The system bundle parsed once, for the baseline that shares it.
X509_STORE* gBundle = nullptr;

CURLcode ShareBundle(CURL*, void* sslContext, void*) {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), gBundle);
  return CURLE_OK;
}

bool LoadBundle() {
  gBundle = X509_STORE_new();
  return gBundle != nullptr && X509_STORE_load_file(gBundle, kSystemBundle) == 1 &&
         X509_STORE_set_flags(gBundle, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN) == 1;
}

// Plain libcurl as an application uses it: one easy handle, a fresh connection each time.
CURL* NewPlainHandle(const std::string& url, bool sharedBundle) {
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Discard);
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  if (sharedBundle) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
    curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &ShareBundle);
  }
  return easy;
}

bool CurlSmall(CURL* easy) {
  long status = 0;
  return curl_easy_perform(easy) == CURLE_OK &&
         curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
}

// Runs count transfers and adds their time to total; false when one failed.
template <class Transfer>
bool Timed(int count, Transfer transfer, Clock::duration& total) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (!transfer()) {
      return false;
    }
  }
  total += Clock::now() - start;
  return true;
}

// Milliseconds from the cancel to the transfer's return, one sample per run; empty when a run
// did not end as cancelled.
std::vector<double> CancelLatencies() {
  std::vector<double> samples;
  for (int run = 0; run < kCancelRuns; ++run) {
    const auto request = MakeRequest(443, "/delay-headers/5000");
    std::atomic<Clock::rep> endedAt{0};
    std::atomic<uint32_t> error{0};
    std::thread transfer([&] {
      const HttpResult result = HttpDownload(*request, std::make_shared<net::WireTrace>());
      endedAt.store(Clock::now().time_since_epoch().count());
      error.store(result.error);
    });
    std::this_thread::sleep_for(300ms);  // well into the wait for the head
    const auto cancelledAt = Clock::now();
    request->cancelled.store(true);
    request->CloseNetworkHandles();
    transfer.join();
    if (error.load() != 995) {
      std::printf("cancel run %d ended with %u\n", run, error.load());
      return {};
    }
    samples.push_back(
        Milliseconds(Clock::duration(endedAt.load()) - cancelledAt.time_since_epoch()));
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

int Run(int transfers) {
  const char* nginxPort = std::getenv("KSRN_BENCH_NGINX_PORT");
  if (nginxPort == nullptr) {
    std::printf("run inside the bench: tests/sandbox/run --with-nginx transfer_bench\n");
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(nginxPort));
  const std::string url = std::string("https://") + kHost + ":" + nginxPort + "/small";
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK || !LoadBundle()) {
    std::printf("cannot set up libcurl and the system CA bundle\n");
    return 1;
  }
  CURL* defaults = NewPlainHandle(url, false);
  CURL* shared = NewPlainHandle(url, true);
  const auto ourTransfer = [&] { return DownloadSmall(port); };
  const auto defaultsTransfer = [&] { return CurlSmall(defaults); };
  const auto sharedTransfer = [&] { return CurlSmall(shared); };

  // Warm every path up (the library's trust store, any cache of libcurl's), then alternate
  // batches so that drift on a shared machine hits all alike.
  Clock::duration warmUp{};
  Clock::duration ours{};
  Clock::duration plain{};
  Clock::duration best{};
  bool ok = Timed(5, ourTransfer, warmUp) && Timed(5, defaultsTransfer, warmUp) &&
            Timed(5, sharedTransfer, warmUp);
  const int perBatch = std::max(1, transfers / kBatches);
  for (int batch = 0; ok && batch < kBatches; ++batch) {
    ok = Timed(perBatch, ourTransfer, ours) && Timed(perBatch, defaultsTransfer, plain) &&
         Timed(perBatch, sharedTransfer, best);
  }
  curl_easy_cleanup(defaults);
  curl_easy_cleanup(shared);
  const std::vector<double> cancels = CancelLatencies();
  if (!ok || cancels.empty()) {
    std::printf("a transfer failed\n");
    return 1;
  }

  const int measured = perBatch * kBatches;
  const double oursMs = Milliseconds(ours) / measured;
  const double plainMs = Milliseconds(plain) / measured;
  const double bestMs = Milliseconds(best) / measured;
  const double cancelMs = cancels[cancels.size() / 2];
  std::printf(
      "transfer /small x%d, new TLS connection each: HttpDownload %.3f ms, plain libcurl "
      "(defaults) %.3f ms: ratio %.3f (target <= %.2f)\n",
      measured, oursMs, plainMs, oursMs / plainMs, kRatioTarget);
  std::printf(
      "transfer /small x%d, new TLS connection each: HttpDownload %.3f ms, plain libcurl "
      "(trust store loaded once) %.3f ms: ratio %.3f (target <= %.2f)\n",
      measured, oursMs, bestMs, oursMs / bestMs, kRatioTarget);
  std::printf(
      "cancel before the head: median %.3f ms, max %.3f ms over %d runs (target < %.0f "
      "ms)\n",
      cancelMs, cancels.back(), kCancelRuns, kCancelTargetMs);
  const bool met = oursMs <= plainMs * kRatioTarget && oursMs <= bestMs * kRatioTarget &&
                   cancelMs < kCancelTargetMs;
  return met ? 0 : 1;
}

}  // namespace
}  // namespace ksrn

int main(int argc, char** argv) { return ksrn::Run(argc > 1 ? std::atoi(argv[1]) : 200); }
