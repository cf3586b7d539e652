#include "net/curl/proxy.h"

#include <cstdlib>

namespace ksrn::net::curl {
namespace {

std::string Variable(const char* lower, const char* upper) {
  const char* value = std::getenv(lower);
  if (value == nullptr) {
    value = std::getenv(upper);
  }
  return value != nullptr ? value : "";
}

}  // namespace

ProxySettings ProxyFromEnvironment() {
  return {Variable("https_proxy", "HTTPS_PROXY"), Variable("no_proxy", "NO_PROXY")};
}

}  // namespace ksrn::net::curl
