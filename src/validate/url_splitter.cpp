#include "validate/url_splitter.h"

#include <string_view>

#include "platform/ascii.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

constexpr uint16_t kHttpDefaultPort = 80;
constexpr uint16_t kHttpsDefaultPort = 443;
constexpr uint32_t kMaxPort = 65535;

bool IsSchemeSyntax(WideStringView scheme) noexcept {
  if (scheme.empty() || !IsAsciiLetter(scheme.front())) {
    return false;
  }
  for (const WideChar unit : scheme) {
    if (!IsAsciiLetter(unit) && !IsAsciiDigit(unit) && unit != '+' && unit != '-' && unit != '.') {
      return false;
    }
  }
  return true;
}

// The value stays bounded while digits are read, so any run of leading zeros is harmless.
bool ParsePort(WideStringView text, uint16_t& port) noexcept {
  if (text.empty()) {
    return false;
  }
  uint32_t value = 0;
  for (const WideChar unit : text) {
    if (!IsAsciiDigit(unit)) {
      return false;
    }
    value = value * 10 + static_cast<uint32_t>(unit - '0');
    if (value > kMaxPort) {
      return false;
    }
  }
  port = static_cast<uint16_t>(value);
  return true;
}

// `authority` is what follows the user part: host, then optionally ":" and the port.
bool SplitHostAndPort(WideStringView authority, UrlParts& parts) noexcept {
  size_t hostEnd = authority.find(':');
  if (!authority.empty() && authority.front() == '[') {
    // An IP literal's colons belong to the host; the allowlist refuses such hosts anyway.
    const size_t close = authority.find(']');
    if (close == WideStringView::npos) {
      return false;
    }
    hostEnd = close + 1;
  }
  if (hostEnd >= authority.size()) {
    parts.host = authority;
    return true;
  }
  parts.host = authority.substr(0, hostEnd);
  if (authority[hostEnd] != ':') {
    return false;
  }
  return ParsePort(authority.substr(hostEnd + 1), parts.port);
}

bool Refuse(uint32_t& error, uint32_t code) noexcept {
  error = code;
  return false;
}

}  // namespace

bool SplitUrl(WideStringView url, UrlParts& parts, uint32_t& error) noexcept {
  parts = UrlParts{};
  constexpr WideStringView kSchemeEnd = KSRN_WIDE("://");
  const size_t colon = url.find(':');
  if (colon == WideStringView::npos || url.compare(colon, kSchemeEnd.size(), kSchemeEnd) != 0) {
    return Refuse(error, kErrorWinhttpInvalidUrl);
  }
  const WideStringView scheme = url.substr(0, colon);
  if (!IsSchemeSyntax(scheme)) {
    return Refuse(error, kErrorWinhttpInvalidUrl);
  }
  if (EqualsAsciiLowercase(scheme, "https")) {
    parts.scheme = UrlScheme::Https;
    parts.port = kHttpsDefaultPort;
  } else if (EqualsAsciiLowercase(scheme, "http")) {
    parts.scheme = UrlScheme::Http;
    parts.port = kHttpDefaultPort;
  } else {
    return Refuse(error, kErrorWinhttpUnrecognizedScheme);
  }

  WideStringView rest = url.substr(colon + kSchemeEnd.size());
  WideStringView authority = rest.substr(0, rest.find_first_of(KSRN_WIDE("/?")));
  rest.remove_prefix(authority.size());
  const size_t queryStart = rest.find('?');
  parts.path = rest.substr(0, queryStart);
  if (queryStart != WideStringView::npos) {
    parts.query = rest.substr(queryStart);
  }

  // The last "@" ends the user part, so a password may itself contain "@".
  const size_t at = authority.rfind('@');
  if (at != WideStringView::npos) {
    parts.hasUserInfo = true;
    const WideStringView userInfo = authority.substr(0, at);
    const size_t separator = userInfo.find(':');
    parts.userName = userInfo.substr(0, separator);
    if (separator != WideStringView::npos) {
      parts.password = userInfo.substr(separator + 1);
    }
    authority.remove_prefix(at + 1);
  }
  if (!SplitHostAndPort(authority, parts)) {
    return Refuse(error, kErrorWinhttpInvalidUrl);
  }
  error = kErrorSuccess;
  return true;
}

}  // namespace ksrn
