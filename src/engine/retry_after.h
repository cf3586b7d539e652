// The wait an exchange asks for in a response's Retry-After header.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ksrn {

// Milliseconds to wait from the raw head (CR LF lines, the status line first), or nothing when
// the head has no readable Retry-After. The value is delta-seconds or an HTTP-date in its fixed
// form ("Sun, 06 Nov 1994 08:49:37 GMT"), read against nowUnixMs, the system clock in
// milliseconds since 1970; a date already past asks for no wait.
std::optional<int64_t> RetryAfterMs(std::string_view head, int64_t nowUnixMs);

}  // namespace ksrn
