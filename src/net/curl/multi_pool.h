// Multi handles outlive the requests that drive them. Making one costs a socket pair for its
// wake-up channel and freeing it closes both ends again, several system calls for every request;
// a request instead takes an idle handle and gives it back, empty, when it is destroyed. A handle
// keeps no connection between its requests: every transfer asks for a fresh one and forbids its
// reuse. A wake-up a handle got too late for its last request only ends the next one's first
// poll early.
#pragma once

#include <curl/curl.h>

namespace ksrn::net::curl {

// An idle multi handle, or a new one whose wake-up channel works; null when none can be made.
CURLM* TakeMulti();
// Gives back a multi handle that holds no easy handle; keeps a few idle ones, frees the rest.
void ReturnMulti(CURLM* multi) noexcept;

}  // namespace ksrn::net::curl
