// libFuzzer target for ValidateAndParseUrl, over inputs decoded as fuzz_input.h says.
//
// Checked on every input: an accepted URL yields a lowercase allowlisted host, port 443 and a
// path of allowed units that starts with "/" and ends the URL as written; a refusal carries one
// of the four refusal codes; and a buffer of exactly 8193 units without a terminator is refused
// with nothing read past it (the buffers are exact heap allocations, so AddressSanitizer reports
// any overread).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "platform/win32_errors.h"
#include "validate/exchange_hosts.h"
#include "validate/url_validation.h"

namespace ksrn {
namespace {

using fuzz::Require;

constexpr size_t kLongestUrl = 8192;

bool IsAllowedUrlUnit(WideChar unit) {
  return unit >= 0x21 && unit <= 0x7E && unit != '\\' && unit != '#';
}

bool EndsWith(WideStringView text, WideStringView suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

void CheckAccepted(WideStringView url, const ParsedUrl& parsed) {
  Require(!parsed.host.empty() && parsed.port == 443);
  for (const WideChar unit : parsed.host) {
    Require(IsAllowedUrlUnit(unit) && !(unit >= 'A' && unit <= 'Z'));
  }
  Require(IsAllowedExchangeHost(parsed.host.c_str()));
  const WideStringView pathAndQuery = parsed.pathAndQuery;
  Require(!pathAndQuery.empty() && pathAndQuery.front() == '/');
  for (const WideChar unit : pathAndQuery) {
    Require(IsAllowedUrlUnit(unit));
  }
  // The path and query are the URL's tail as written, or "/" put before a bare query.
  Require(EndsWith(url, pathAndQuery) || ((pathAndQuery.size() == 1 || pathAndQuery[1] == '?') &&
                                          EndsWith(url, pathAndQuery.substr(1))));
}

void CheckTerminated(const std::vector<WideChar>& units) {
  // Exactly the units and their terminator: reading past the NUL is an overread.
  const size_t length = std::min(units.size(), kLongestUrl + 1);
  std::unique_ptr<WideChar[]> buffer(new WideChar[length + 1]);
  std::copy(units.begin(), units.begin() + static_cast<ptrdiff_t>(length), buffer.get());
  buffer[length] = 0;

  ParsedUrl parsed;
  parsed.host = KSRN_WIDE("stale.example");
  parsed.pathAndQuery = KSRN_WIDE("/stale");
  parsed.port = 8443;
  uint32_t error = 12345;
  if (ValidateAndParseUrl(buffer.get(), parsed, error)) {
    Require(error == kErrorSuccess);
    CheckAccepted(WideStringView(buffer.get()), parsed);
  } else {
    Require(error == kErrorInvalidName || error == kErrorAccessDenied ||
            error == kErrorWinhttpInvalidUrl || error == kErrorWinhttpUnrecognizedScheme);
    Require(parsed.host != KSRN_WIDE("stale.example"));
    Require(parsed.pathAndQuery != KSRN_WIDE("/stale"));
  }
}

void CheckUnterminated(const std::vector<WideChar>& units) {
  // The input, padded with "a" to 8193 units and no terminator after them.
  std::unique_ptr<WideChar[]> buffer(new WideChar[kLongestUrl + 1]);
  bool hasNul = false;
  for (size_t i = 0; i <= kLongestUrl; ++i) {
    buffer[i] = i < units.size() ? units[i] : WideChar('a');
    hasNul = hasNul || buffer[i] == 0;
  }
  ParsedUrl parsed;
  uint32_t error = 0;
  const bool accepted = ValidateAndParseUrl(buffer.get(), parsed, error);
  Require(hasNul || (!accepted && error == kErrorInvalidName));
}

}  // namespace
}  // namespace ksrn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<ksrn::WideChar> units = ksrn::fuzz::DecodeUnits(data, size);
  ksrn::CheckTerminated(units);
  ksrn::CheckUnterminated(units);
  return 0;
}
