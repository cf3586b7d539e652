// libFuzzer target: our URL splitter against libcurl's URL parser, over inputs decoded as
// fuzz_input.h says. Wherever both split an ASCII URL and disagree on the scheme, the host or the
// port, our validation must refuse it: a host read differently by another parser would be a way
// past the allowlist. A URL we accept must also be one that libcurl splits the same way.
#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/ascii.h"
#include "validate/url_splitter.h"
#include "validate/url_validation.h"

namespace ksrn {
namespace {

using fuzz::Require;

struct CurlParts {
  std::string scheme;
  std::string host;
  std::string port;
};

bool CurlSplit(const std::string& url, CurlParts& parts) {
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), curl_url_cleanup);
  Require(handle != nullptr);
  if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return false;
  }
  const auto get = [&](CURLUPart part, unsigned flags, std::string& value) {
    char* text = nullptr;
    if (curl_url_get(handle.get(), part, &text, flags) != CURLUE_OK) {
      return false;
    }
    value = text;
    curl_free(text);
    return true;
  };
  return get(CURLUPART_SCHEME, 0, parts.scheme) && get(CURLUPART_HOST, 0, parts.host) &&
         get(CURLUPART_PORT, CURLU_DEFAULT_PORT, parts.port);
}

template <class Unit>
std::string Lowercase(std::basic_string_view<Unit> text) {
  std::string narrow;
  for (const Unit unit : text) {
    narrow.push_back(static_cast<char>(ToLowerAscii(unit)));
  }
  return narrow;
}

bool Agree(const UrlParts& ours, const CurlParts& theirs) {
  const std::string_view scheme = ours.scheme == UrlScheme::Https ? "https" : "http";
  return scheme == Lowercase<char>(theirs.scheme) &&
         Lowercase(ours.host) == Lowercase<char>(theirs.host) &&
         std::to_string(ours.port) == theirs.port;
}

}  // namespace
}  // namespace ksrn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ksrn;
  const std::vector<WideChar> units = fuzz::DecodeUnits(data, size);
  std::string ascii;
  for (const WideChar unit : units) {
    if (unit == 0 || unit >= 0x80) {
      return 0;
    }
    ascii.push_back(static_cast<char>(unit));
  }
  UrlParts ours;
  uint32_t error = 0;
  if (!SplitUrl(WideStringView(units.data(), units.size()), ours, error)) {
    return 0;
  }
  const WideString terminated(units.begin(), units.end());
  ParsedUrl parsed;
  const bool accepted = ValidateAndParseUrl(terminated.c_str(), parsed, error);
  CurlParts theirs;
  if (CurlSplit(ascii, theirs)) {
    fuzz::Require(!accepted || Agree(ours, theirs));
  } else {
    fuzz::Require(!accepted);
  }
  return 0;
}
