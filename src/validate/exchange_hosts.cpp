#include "validate/exchange_hosts.h"

#include <iterator>
#include <string_view>

#include "platform/ascii.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// The order only decides how many comparisons a look-up makes, never the answer.
constexpr std::string_view kExchangeHosts[] = {
#include "validate/exchange_hosts.inc"
};
static_assert(std::size(kExchangeHosts) == kExchangeHostCount);

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

bool IsAllowedExchangeHost(const WideChar* host) noexcept { return ExchangeHostIndex(host) >= 0; }

int ExchangeHostIndex(const WideChar* host) noexcept {
  if (host == nullptr) {
    return -1;
  }
  for (size_t i = 0; i < kExchangeHostCount; ++i) {
    if (IsSameHost(host, kExchangeHosts[i])) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

uint32_t CheckExchangeHostName(const WideChar* host, int& index) noexcept {
  constexpr size_t kLongestHostName = 253;
  if (host == nullptr) {
    return kErrorInvalidParameter;
  }
  size_t length = 0;
  for (; host[length] != 0; ++length) {
    const WideChar unit = host[length];
    if (length == kLongestHostName ||
        !(IsAsciiLetter(unit) || IsAsciiDigit(unit) || unit == '-' || unit == '.')) {
      return kErrorInvalidName;
    }
  }
  if (length == 0) {
    return kErrorInvalidName;
  }
  index = ExchangeHostIndex(host);
  return index < 0 ? kErrorAccessDenied : kErrorSuccess;
}

}  // namespace ksrn
