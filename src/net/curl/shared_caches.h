// What every request of the process shares, as WinHTTP shares it through the system on
// Windows: TLS sessions (a new connection to a host seen before resumes its session instead of a
// full handshake) and resolved addresses (kept for libcurl's 60 s, where Windows keeps them for
// their DNS lifetime). Failed resolutions are not kept. Connections are never shared: each
// transfer still makes its own.
#pragma once

#include <curl/curl.h>

namespace ksrn::net::curl {

// The process's share for CURLOPT_SHARE, made on first use and never freed; null when libcurl
// cannot make it, and transfers then simply resolve and shake hands afresh.
CURLSH* SharedCaches();

}  // namespace ksrn::net::curl
