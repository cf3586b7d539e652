#include "net/curl/curl_global.h"

#include <curl/curl.h>

#include <mutex>

#include "net/curl/error_map.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

std::once_flag gCurlReady;

// Leaves call_once without marking it done, so that a later call retries.
struct InitFailed {
  CURLcode code;
};

}  // namespace

uint32_t PrepareCurl() {
  try {
    std::call_once(gCurlReady, [] {
      if (const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        throw InitFailed{code};
      }
    });
  } catch (const InitFailed& failure) {
    return Win32FromCurl(failure.code);
  }
  return kErrorSuccess;
}

}  // namespace ksrn::net::curl
