#include "validate/url_validation.h"

#include <algorithm>

#include "platform/ascii.h"
#include "platform/limits.h"
#include "platform/win32_errors.h"
#include "validate/exchange_hosts.h"
#include "validate/url_splitter.h"

namespace ksrn {
namespace {

// Printable ASCII only: anything else must reach us percent-encoded. The backslash is refused
// because other URL parsers take it for "/", and "#" so that a URL never carries a fragment.
constexpr bool IsAllowedUrlUnit(WideChar unit) noexcept {
  return unit >= 0x21 && unit <= 0x7E && unit != '\\' && unit != '#';
}

// The length up to the terminator, or kMaxUrlChars + 1 when none lies within the first
// kMaxUrlChars + 1 units; nothing beyond them is read.
size_t BoundedLength(const WideChar* url) noexcept {
  size_t length = 0;
  while (length <= kMaxUrlChars && url[length] != 0) {
    ++length;
  }
  return length;
}

bool Refuse(uint32_t& error, uint32_t code) noexcept {
  error = code;
  return false;
}

}  // namespace

bool ValidateAndParseUrl(const WideChar* url, ParsedUrl& parsedUrl, uint32_t& error) {
  // Swapping with empty strings releases the storage of an earlier result without allocating.
  WideString().swap(parsedUrl.host);
  WideString().swap(parsedUrl.pathAndQuery);
  parsedUrl.port = kHttpsPort;

  if (url == nullptr) {
    return Refuse(error, kErrorInvalidName);
  }
  const size_t length = BoundedLength(url);
  if (length == 0 || length > kMaxUrlChars) {
    return Refuse(error, kErrorInvalidName);
  }
  const WideStringView text(url, length);
  if (!std::all_of(text.begin(), text.end(), IsAllowedUrlUnit)) {
    return Refuse(error, kErrorInvalidName);
  }

  UrlParts parts;
  uint32_t splitError = kErrorSuccess;
  if (!SplitUrl(text, parts, splitError)) {
    return Refuse(error, splitError);
  }
  // A user part is refused even when empty ("https://@host/"): the request would silently drop
  // it, and parsers disagree on where such authorities end.
  if (parts.scheme != UrlScheme::Https || parts.port != kHttpsPort || parts.host.empty() ||
      parts.hasUserInfo) {
    return Refuse(error, kErrorAccessDenied);
  }

  parsedUrl.host.assign(parts.host);
  std::transform(parsedUrl.host.begin(), parsedUrl.host.end(), parsedUrl.host.begin(),
                 ToLowerAscii<WideChar>);
  parsedUrl.port = parts.port;
  if (!IsAllowedExchangeHost(parsedUrl.host.c_str())) {
    return Refuse(error, kErrorAccessDenied);
  }

  const WideStringView path = parts.path.empty() ? WideStringView(KSRN_WIDE("/")) : parts.path;
  parsedUrl.pathAndQuery.reserve(path.size() + parts.query.size());
  parsedUrl.pathAndQuery.append(path).append(parts.query);
  error = kErrorSuccess;
  return true;
}

}  // namespace ksrn
