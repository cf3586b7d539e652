// Request submission: KSRN_Request and KSRN_Get check every argument, build the request record
// and hand it to the engine. The calling thread never waits for the network here.
#include <memory>
#include <string_view>

#include "api/lifecycle.h"
#include "kestrune.h"
#include "platform/win32_errors.h"
#include "validate/url_validation.h"

namespace ksrn {
namespace {

constexpr uint32_t kMaxBodyBytes = 1024 * 1024;
constexpr int32_t kDefaultTimeoutMs = 10000;
constexpr int32_t kMinTimeoutMs = 250;
constexpr int32_t kMaxTimeoutMs = 120000;
constexpr size_t kMaxMethodChars = 16;
constexpr size_t kMaxHeaderChars = 65536;

// Headers about the target host, the message framing, the connection and the proxy: the HTTP
// layer sets them itself, and a caller's value would let one request smuggle another.
constexpr std::string_view kRefusedHeaderNames[] = {
    "host",
    "connection",
    "content-length",
    "proxy-connection",
    "transfer-encoding",
    "proxy-authorization",
};

// Finds the terminating NUL of text within its first maxChars + 1 units and reads no further.
// False when the text is longer than maxChars units.
bool MeasureBounded(const WideChar* text, size_t maxChars, size_t& length) {
  for (length = 0; length <= maxChars; ++length) {
    if (text[length] == 0) {
      return true;
    }
  }
  return false;
}

WideChar ToLowerAscii(WideChar c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
WideChar ToUpperAscii(WideChar c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// The HTTP token characters allowed in a header name.
bool IsTokenChar(WideChar c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
    return true;
  }
  return c < 0x80 &&
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// HT and the printable ASCII range; everything else, CR and LF included, is refused.
bool IsValueChar(WideChar c) { return c == '\t' || (c >= 0x20 && c <= 0x7E); }

bool IsRefusedHeaderName(WideStringView name) {
  for (std::string_view refused : kRefusedHeaderNames) {
    if (name.size() != refused.size()) {
      continue;
    }
    size_t i = 0;
    while (i < name.size() && ToLowerAscii(name[i]) == static_cast<WideChar>(refused[i])) {
      ++i;
    }
    if (i == name.size()) {
      return true;
    }
  }
  return false;
}

// Accepts a block of CR LF separated "name:value" lines, optionally ending in one CR LF, with
// token names, printable values and none of the refused names. The block is sent unchanged, so
// it is only checked, never rewritten. The first failing line decides: 13 when it is malformed,
// 5 when it names a refused header. The empty block is accepted.
bool ValidateHeaders(WideStringView headerBlock, uint32_t& error) {
  size_t position = 0;
  while (position < headerBlock.size()) {
    const size_t lineEnd = headerBlock.find(KSRN_WIDE("\r\n"), position);
    const bool isLastLine = lineEnd == WideStringView::npos;
    const WideStringView line =
        headerBlock.substr(position, isLastLine ? WideStringView::npos : lineEnd - position);
    const size_t colon = line.find(KSRN_WIDE(':'));
    if (colon == WideStringView::npos || colon == 0) {
      error = kErrorInvalidData;  // also an empty line
      return false;
    }
    const WideStringView name = line.substr(0, colon);
    for (WideChar c : name) {
      if (!IsTokenChar(c)) {
        error = kErrorInvalidData;
        return false;
      }
    }
    if (IsRefusedHeaderName(name)) {
      error = kErrorAccessDenied;
      return false;
    }
    for (WideChar c : line.substr(colon + 1)) {
      if (!IsValueChar(c)) {
        error = kErrorInvalidData;
        return false;
      }
    }
    if (isLastLine) {
      break;
    }
    position = lineEnd + 2;
  }
  error = kErrorSuccess;
  return true;
}

// Fills the record's URL, method, header block and body in that order; the first refusal
// decides the code. Allocation failures leave as exceptions.
bool BuildRequest(HttpRequest& request, const WideChar* url, const WideChar* method,
                  const WideChar* headers, const uint8_t* body, int32_t bodyLength,
                  uint32_t& error) {
  if (!ValidateAndParseUrl(url, request.url, error)) {
    return false;
  }

  size_t length = 0;
  if (method != nullptr) {
    if (!MeasureBounded(method, kMaxMethodChars, length)) {
      error = kErrorBufferOverflow;
      return false;
    }
    request.method.assign(method, length);
  }
  if (request.method.empty()) {
    request.method = KSRN_WIDE("GET");
  }
  for (WideChar& c : request.method) {
    c = ToUpperAscii(c);
  }
  const bool isPost = request.method == KSRN_WIDE("POST");
  if (!isPost && request.method != KSRN_WIDE("GET") && request.method != KSRN_WIDE("HEAD")) {
    error = kErrorAccessDenied;
    return false;
  }

  if (headers != nullptr) {
    if (!MeasureBounded(headers, kMaxHeaderChars, length)) {
      error = kErrorBufferOverflow;
      return false;
    }
    request.headers.assign(headers, length);
  }
  if (!ValidateHeaders(request.headers, error)) {
    return false;
  }

  if (bodyLength != 0) {
    if (!isPost) {
      error = kErrorInvalidParameter;
      return false;
    }
    request.body.assign(body, body + bodyLength);
  }
  return true;
}

int32_t SubmitRequest(const WideChar* url, const WideChar* method, const WideChar* headers,
                      const uint8_t* body, int32_t bodyLength, int32_t timeoutMs) noexcept {
  const EngineRef engine = AcquireEngine();
  if (!engine) {
    return 0;
  }
  const int32_t effectiveTimeoutMs = timeoutMs == 0 ? kDefaultTimeoutMs : timeoutMs;
  if (static_cast<uint32_t>(bodyLength) > kMaxBodyBytes || (bodyLength != 0 && body == nullptr) ||
      effectiveTimeoutMs < kMinTimeoutMs || effectiveTimeoutMs > kMaxTimeoutMs) {
    SetApiError(kErrorInvalidParameter);
    return 0;
  }
  uint32_t error = kErrorGenFailure;
  int32_t id = 0;
  try {
    // Private to this thread until Submit publishes it; destroyed here on every refusal.
    const auto request = std::make_shared<HttpRequest>();
    if (BuildRequest(*request, url, method, headers, body, bodyLength, error)) {
      request->timeoutMs = effectiveTimeoutMs;
      id = engine->Submit(request, error);
    }
  } catch (...) {
    error = kErrorNotEnoughMemory;
    id = 0;
  }
  SetApiError(error);
  return id;
}

}  // namespace
}  // namespace ksrn

int32_t KSRN_Request(const KSRN_CHAR* url, const KSRN_CHAR* method, const KSRN_CHAR* headers,
                     const uint8_t* body, int32_t bodyLength, int32_t timeoutMs) {
  return ksrn::SubmitRequest(url, method, headers, body, bodyLength, timeoutMs);
}

int32_t KSRN_Get(const KSRN_CHAR* url, int32_t timeoutMs) {
  return ksrn::SubmitRequest(url, nullptr, nullptr, nullptr, 0, timeoutMs);
}
