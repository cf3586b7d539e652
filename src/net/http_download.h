#pragma once

#include <cstdint>

#include "net/http_request.h"

namespace ksrn {

inline constexpr uint32_t kMaxResponseBodyBytes = 4 * 1024 * 1024;
inline constexpr uint32_t kMaxResponseHeaderBytes = 64 * 1024;
inline constexpr uint32_t kMaxReadBytes = 64 * 1024;

// Carries out one request from opening a session to the last body byte and returns its outcome.
// Network failures, cancellation and time-outs are reported inside the result; only memory
// exhaustion leaves as an exception, after every handle has been closed. On return, by any path,
// the record's three handle slots are empty.
HttpResult HttpDownload(HttpRequest& request);

}  // namespace ksrn
