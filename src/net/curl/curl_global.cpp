#include "net/curl/curl_global.h"

#include <curl/curl.h>

#include <mutex>

#include "net/curl/error_map.h"
#include "net/curl/trust_store.h"
#include "net/guarded_call.h"
#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

// A mutex and a flag rather than std::call_once, whose state lives in the C++ runtime's lazily
// allocated thread-locals; a failed init leaves the flag down, so the next call retries.
std::mutex gCurlMutex;
bool gCurlReady = false;  // gCurlMutex

}  // namespace

uint32_t PrepareCurl() {
  std::lock_guard lock(gCurlMutex);
  if (!gCurlReady) {
    if (const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
      return Win32FromCurl(code);
    }
    gCurlReady = true;
  }
  return kErrorSuccess;
}

}  // namespace ksrn::net::curl

namespace ksrn::net {

// libcurl's global set-up and the shared trust store: without them the first transfer would
// parse the whole CA bundle between its throttle slot and its handshake.
bool HttpPrepareProcess() {
  return Report(Guarded([] {
    const uint32_t error = curl::PrepareCurl();
    return error != kErrorSuccess ? error : curl::PreloadTrustStore();
  }));
}

}  // namespace ksrn::net
