#include "net/winhttp/header_text.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace ksrn::net::winhttp {
namespace {

bool IsAscii(WideStringView text) {
  return std::all_of(text.begin(), text.end(), [](WideChar unit) { return unit < 0x80; });
}

// The bytes WinHTTP received, when the widening can be undone without loss.
bool RecoverBytes(WideStringView text, std::string& bytes) {
  const int length = static_cast<int>(text.size());
  // An ANSI code page that maps every unit back exactly (no default character, no best fit).
  if (GetACP() != CP_UTF8) {
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr,
                                         0, nullptr, &usedDefault);
    if (size > 0 && !usedDefault) {
      bytes.resize(static_cast<size_t>(size));
      return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, bytes.data(),
                                 size, nullptr, &usedDefault) == size &&
             !usedDefault;
    }
  }
  // Byte for byte.
  if (std::all_of(text.begin(), text.end(), [](WideChar unit) { return unit <= 0xFF; })) {
    bytes.assign(text.begin(), text.end());
    return true;
  }
  return false;
}

// Length of the valid UTF-8 sequence at bytes[at], or 0 when there is none.
size_t Utf8SequenceLength(const std::string& bytes, size_t at, char32_t& codePoint) {
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
    low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
    high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
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

WideString DecodeUtf8OrLatin1(const std::string& bytes) {
  WideString text;
  text.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    char32_t codePoint = 0;
    const size_t length = Utf8SequenceLength(bytes, at, codePoint);
    if (length == 0) {
      text.push_back(static_cast<WideChar>(static_cast<uint8_t>(bytes[at])));
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

}  // namespace

WideString DecodeHeaderText(WideStringView text) {
  std::string bytes;
  if (IsAscii(text) || !RecoverBytes(text, bytes)) {
    return WideString(text);
  }
  return DecodeUtf8OrLatin1(bytes);
}

}  // namespace ksrn::net::winhttp
