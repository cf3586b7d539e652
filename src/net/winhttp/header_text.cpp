#include "net/winhttp/header_text.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/header_bytes.h"

namespace ksrn::net::winhttp {
namespace {

constexpr WideChar kReplacementCharacter = 0xFFFD;

bool IsAscii(WideStringView text) {
  return std::all_of(text.begin(), text.end(), [](WideChar unit) { return unit < 0x80; });
}

// True when line may hold a character that a double-byte code page made of an invalid sequence.
bool MayHideInvalidBytes(WideStringView line, unsigned codePage) {
  CPINFOEXW info = {};
  if (!GetCPInfoExW(codePage, 0, &info) || info.MaxCharSize != 2) {
    return false;
  }
  return line.find(info.UnicodeDefaultChar) != WideStringView::npos ||
         line.find(kReplacementCharacter) != WideStringView::npos;
}

// The bytes WinHTTP received, when the widening of line can be undone without loss.
bool RecoverBytes(WideStringView line, unsigned codePage, std::string& bytes) {
  const int length = static_cast<int>(line.size());
  // A code page that maps every unit back exactly (no default character, no best fit).
  if (!MayHideInvalidBytes(line, codePage)) {
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, line.data(), length,
                                         nullptr, 0, nullptr, &usedDefault);
    if (size > 0 && !usedDefault) {
      bytes.resize(static_cast<size_t>(size));
      return WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, line.data(), length, bytes.data(),
                                 size, nullptr, &usedDefault) == size &&
             !usedDefault;
    }
  }
  // Byte for byte.
  if (std::all_of(line.begin(), line.end(), [](WideChar unit) { return unit <= 0xFF; })) {
    bytes.assign(line.begin(), line.end());
    return true;
  }
  return false;
}

WideString DecodeLine(WideStringView line, unsigned codePage) {
  std::string bytes;
  if (IsAscii(line) || !RecoverBytes(line, codePage, bytes)) {
    return WideString(line);
  }
  return DecodeHeaderBytes(bytes);
}

}  // namespace

WideString DecodeHeaderText(WideStringView text, unsigned codePage) {
  if (codePage == CP_UTF8 || IsAscii(text)) {
    return WideString(text);
  }
  WideString decoded;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(L'\n', start), text.size() - 1) + 1;
    decoded += DecodeLine(text.substr(start, end - start), codePage);
    start = end;
  }
  return decoded;
}

}  // namespace ksrn::net::winhttp
