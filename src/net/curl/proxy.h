// The system's proxy for a transfer, taken as other clients on Linux take it: from https_proxy
// (or HTTPS_PROXY) and no_proxy (or NO_PROXY), the lower-case name first. Read for each request,
// so a host that changes them affects the requests it makes afterwards.
#pragma once

#include <string>

namespace ksrn::net::curl {

struct ProxySettings {
  std::string url;     // CURLOPT_PROXY: empty for none
  std::string bypass;  // CURLOPT_NOPROXY: hosts reached directly, "*" for every host
};

ProxySettings ProxyFromEnvironment();

}  // namespace ksrn::net::curl
