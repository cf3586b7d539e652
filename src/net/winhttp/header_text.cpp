#include "net/winhttp/header_text.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/header_bytes.h"

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

}  // namespace

WideString DecodeHeaderText(WideStringView text) {
  std::string bytes;
  if (IsAscii(text) || !RecoverBytes(text, bytes)) {
    return WideString(text);
  }
  return DecodeHeaderBytes(bytes);
}

}  // namespace ksrn::net::winhttp
