#include "validate/exchange_hosts.h"

#include <iterator>
#include <string_view>

#include "platform/ascii.h"

namespace ksrn {
namespace {

// The order only decides how many comparisons a look-up makes, never the answer.
constexpr std::string_view kExchangeHosts[] = {
#include "validate/exchange_hosts.inc"
};
static_assert(std::size(kExchangeHosts) == 21);

// Stops at the first difference, so a host is never read past the entry's length plus its NUL.
bool IsSameHost(const WideChar* host, std::string_view entry) noexcept {
  for (const char expected : entry) {
    if (*host == 0 || ToLowerAscii(*host) != static_cast<WideChar>(expected)) {
      return false;
    }
    ++host;
  }
  return *host == 0;
}

}  // namespace

bool IsAllowedExchangeHost(const WideChar* host) noexcept {
  if (host == nullptr) {
    return false;
  }
  for (const std::string_view entry : kExchangeHosts) {
    if (IsSameHost(host, entry)) {
      return true;
    }
  }
  return false;
}

}  // namespace ksrn
