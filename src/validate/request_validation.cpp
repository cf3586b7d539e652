#include "validate/request_validation.h"

#include <algorithm>
#include <string_view>

#include "platform/ascii.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

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

struct ExtraMethod {
  std::string_view lowercase;
  MethodSet bit;
};
constexpr ExtraMethod kExtraMethods[] = {{"delete", 1}, {"put", 2}, {"patch", 4}};

// The caller's NUL-terminated name against a lowercase one, A to Z folded only.
bool NamesMethod(const WideChar* name, std::string_view lowercase) {
  for (const char unit : lowercase) {
    if (ToLowerAscii(*name) != static_cast<WideChar>(unit)) {
      return false;
    }
    ++name;
  }
  return *name == 0;
}

bool IsValueChar(WideChar c) { return c == '\t' || (c >= 0x20 && c <= 0x7E); }

bool IsRefusedHeaderName(WideStringView name) {
  return std::any_of(std::begin(kRefusedHeaderNames), std::end(kRefusedHeaderNames),
                     [&](std::string_view refused) { return EqualsAsciiLowercase(name, refused); });
}

bool Refuse(uint32_t& error, uint32_t code) {
  error = code;
  return false;
}

}  // namespace

bool CopyBounded(const WideChar* source, size_t maxChars, WideString& text, uint32_t& error) {
  size_t length = 0;
  while (source != nullptr && source[length] != 0) {
    if (++length > maxChars) {
      return Refuse(error, kErrorBufferOverflow);
    }
  }
  text.assign(source == nullptr ? KSRN_WIDE("") : source, length);
  return true;
}

MethodSet ExtraMethodBit(const WideChar* name) {
  for (const ExtraMethod& method : kExtraMethods) {
    if (NamesMethod(name, method.lowercase)) {
      return method.bit;
    }
  }
  return 0;
}

bool ValidateMethod(WideString& method, MethodSet allowed, uint32_t& error) {
  if (method.empty()) {
    method = KSRN_WIDE("GET");
  }
  std::transform(method.begin(), method.end(), method.begin(), ToUpperAscii<WideChar>);
  if (method != KSRN_WIDE("GET") && method != KSRN_WIDE("POST") && method != KSRN_WIDE("HEAD") &&
      (ExtraMethodBit(method.c_str()) & allowed) == 0) {
    return Refuse(error, kErrorAccessDenied);
  }
  return true;
}

bool ValidateHeaders(WideStringView headerBlock, uint32_t& error) {
  size_t position = 0;
  while (position < headerBlock.size()) {
    const size_t lineEnd = headerBlock.find(KSRN_WIDE("\r\n"), position);
    const bool isLastLine = lineEnd == WideStringView::npos;
    const WideStringView line =
        headerBlock.substr(position, isLastLine ? WideStringView::npos : lineEnd - position);
    const size_t colon = line.find(KSRN_WIDE(':'));
    if (colon == WideStringView::npos || colon == 0) {
      return Refuse(error, kErrorInvalidData);
    }
    const WideStringView name = line.substr(0, colon);
    const WideStringView value = line.substr(colon + 1);
    if (!std::all_of(name.begin(), name.end(), IsHttpTokenChar<WideChar>)) {
      return Refuse(error, kErrorInvalidData);
    }
    if (IsRefusedHeaderName(name)) {
      return Refuse(error, kErrorAccessDenied);
    }
    if (!std::all_of(value.begin(), value.end(), IsValueChar)) {
      return Refuse(error, kErrorInvalidData);
    }
    if (isLastLine) {
      break;
    }
    position = lineEnd + 2;
  }
  error = kErrorSuccess;
  return true;
}

}  // namespace ksrn
