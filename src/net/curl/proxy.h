// The system's proxy, taken as other clients on Linux take it: from https_proxy (or HTTPS_PROXY)
// and no_proxy (or NO_PROXY), the lower-case name first. Read once per engine start, on the
// host's thread: a worker reading the environment would race with a host that changes it
// (setenv is not safe against a concurrent getenv). A request uses the settings read last.
#pragma once

#include <string>

namespace ksrn::net::curl {

struct ProxySettings {
  std::string url;     // CURLOPT_PROXY: empty for none
  std::string bypass;  // CURLOPT_NOPROXY: hosts reached directly, "*" for every host
};

// Reads the environment now. May throw std::bad_alloc, and the settings then stay as they were.
void ReadProxySettings();

// The settings read last; read now if they never were.
ProxySettings CurrentProxySettings();

// Fork: the settings' lock, held around a fork so that the child never inherits it taken.
void LockProxySettings();
void UnlockProxySettings();

}  // namespace ksrn::net::curl
