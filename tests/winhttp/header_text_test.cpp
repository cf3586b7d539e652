// The raw head as WinHTTP widens it (byte for byte, or with the ANSI code page as Wine does)
// comes out decoded the same way on every platform: valid UTF-8 as UTF-8, other bytes as
// Latin-1.
#include "net/winhttp/header_text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace ksrn::net::winhttp {
namespace {

struct Case {
  const char* name;
  std::wstring widened;
  std::wstring decoded;
  bool needsWindows1252 = false;  // the widened form is what code page 1252 makes of the bytes
};

TEST(HeaderTextTest, DecodesRecoveredBytes) {
  const Case cases[] = {
      {"ascii", L"HTTP/1.1 200 OK\r\nA: b\r\n\r\n", L"HTTP/1.1 200 OK\r\nA: b\r\n\r\n"},
      {"utf8 widened byte for byte", L"Gr\u00C3\u00BC\u00C3\u009F", L"Gr\u00FC\u00DF"},
      {"utf8 widened by code page 1252", L"Gr\u00C3\u00BC\u00C3\u0178e \u00E2\u201A\u00AC",
       L"Gr\u00FC\u00DFe \u20AC", true},
      {"four-byte sequence", L"\u00F0\u009F\u0098\u0080", L"\U0001F600"},
      {"stray byte", L"A\u00FFB", L"A\u00FFB"},
      {"truncated sequence", L"\u00E2\u0082", L"\u00E2\u0082"},
      {"overlong form", L"\u00C0\u00AF", L"\u00C0\u00AF"},
      {"encoded surrogate", L"\u00ED\u00A0\u0080", L"\u00ED\u00A0\u0080"},
      {"above U+10FFFF", L"\u00F4\u0090\u0080\u0080", L"\u00F4\u0090\u0080\u0080"},
      {"valid after invalid", L"\u00FF\u00C3\u00A9", L"\u00FF\u00E9"},
  };
  for (const Case& c : cases) {
    if (c.needsWindows1252 && GetACP() != 1252) {
      continue;
    }
    EXPECT_EQ(DecodeHeaderText(c.widened), c.decoded) << c.name;
  }
}

TEST(HeaderTextTest, KeepsTextWhoseBytesCannotBeRecovered) {
  // No single-byte code page, and no byte for byte widening, yields this character.
  const std::wstring text = L"X-Name: \u4E2D\u00E9";
  if (GetACP() == 936 || GetACP() == 950 || GetACP() == 932 || GetACP() == 949) {
    GTEST_SKIP() << "the ANSI code page encodes the character";
  }
  EXPECT_EQ(DecodeHeaderText(text), text);
}

}  // namespace
}  // namespace ksrn::net::winhttp
