// The gate every submitted URL passes on the host's thread: only HTTPS on port 443 to an
// allowlisted exchange host is accepted, and nothing refused here ever reaches the network.
#pragma once

#include <cstdint>

#include "platform/wide_string.h"

namespace ksrn {

inline constexpr uint16_t kHttpsPort = 443;

// An accepted URL, as the request line and the connection need it.
struct ParsedUrl {
  WideString host;
  WideString pathAndQuery;
  uint16_t port = kHttpsPort;
};

// Checks `url` (NUL-terminated; may be null) and on acceptance fills `parsedUrl` with the
// lowercased host, port 443 and the path and query as written ("/" when the path is empty).
// `parsedUrl` is reset first, whatever it held; `error` is written on every return: 0 with
// true, otherwise the final refusal code:
//   123   null, empty, longer than 8192 units, or a unit outside "!" to "~", or "\" or "#";
//   12005 or 12006  the URL cannot be split, or its scheme is unknown (see url_splitter.h);
//   5     not https, port other than 443, no host, a user part, or a host off the allowlist.
// Never reads past unit 8192 of `url`, so an unterminated buffer costs at most 8193 units.
// Nothing is allocated before the URL has been checked and split; filling the strings may throw
// std::bad_alloc, which the caller reports.
bool ValidateAndParseUrl(const WideChar* url, ParsedUrl& parsedUrl, uint32_t& error);

}  // namespace ksrn
