#include "platform/header_bytes.h"

#include <cstddef>
#include <cstdint>

namespace ksrn {
namespace {

// Length of the valid UTF-8 sequence at bytes[at], or 0 when there is none: no overlong forms,
// no encoded surrogates, nothing above U+10FFFF.
size_t Utf8SequenceLength(std::string_view bytes, size_t at, char32_t& codePoint) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0F;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (bytes.size() - at < length) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
      return 0;
    }
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  return length;
}

}  // namespace

WideString DecodeHeaderBytes(std::string_view bytes) {
  WideString text;
  text.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    const auto byte = static_cast<uint8_t>(bytes[at]);
    char32_t codePoint = 0;
    const size_t length = byte < 0x80 ? 0 : Utf8SequenceLength(bytes, at, codePoint);
    if (length == 0) {
      text.push_back(static_cast<WideChar>(byte));
      ++at;
      continue;
    }
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      text.push_back(static_cast<WideChar>(0xD800 + (codePoint >> 10)));
      text.push_back(static_cast<WideChar>(0xDC00 + (codePoint & 0x3FF)));
    } else {
      text.push_back(static_cast<WideChar>(codePoint));
    }
    at += length;
  }
  return text;
}

}  // namespace ksrn
