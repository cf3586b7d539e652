// The raw head as WinHTTP widens it (byte for byte, or with the host's ANSI code page as Wine
// does) comes out decoded the same way on every platform: valid UTF-8 as UTF-8, other bytes as
// Latin-1. The code page is the test's choice; the suite also runs where the process's own is
// 932 (winhttp_tests_ja), which must change nothing.
#include "net/winhttp/header_text.h"

#include <gtest/gtest.h>

#include <string>

namespace ksrn::net::winhttp {
namespace {

struct Case {
  const char* name;
  std::wstring widened;
  std::wstring decoded;
  unsigned codePage = 1252;
};

TEST(HeaderTextTest, DecodesRecoveredBytes) {
  const Case cases[] = {
      {"ascii", L"HTTP/1.1 200 OK\r\nA: b\r\n\r\n", L"HTTP/1.1 200 OK\r\nA: b\r\n\r\n"},
      {"utf8 widened byte for byte", L"Gr\u00C3\u00BC\u00C3\u009F", L"Gr\u00FC\u00DF"},
      {"utf8 widened by code page 1252", L"Gr\u00C3\u00BC\u00C3\u0178e \u00E2\u201A\u00AC",
       L"Gr\u00FC\u00DFe \u20AC"},
      {"four-byte sequence", L"\u00F0\u009F\u0098\u0080", L"\U0001F600"},
      {"stray byte", L"A\u00FFB", L"A\u00FFB"},
      {"truncated sequence", L"\u00E2\u0082", L"\u00E2\u0082"},
      {"overlong form", L"\u00C0\u00AF", L"\u00C0\u00AF"},
      {"encoded surrogate", L"\u00ED\u00A0\u0080", L"\u00ED\u00A0\u0080"},
      {"above U+10FFFF", L"\u00F4\u0090\u0080\u0080", L"\u00F4\u0090\u0080\u0080"},
      {"valid after invalid", L"\u00FF\u00C3\u00A9", L"\u00FF\u00E9"},
      {"bytes no code page yields", L"X-Name: \u4E2D\u00E9", L"X-Name: \u4E2D\u00E9"},
      // Code page 932 pairs bytes: "e" after 0x9F is the second half of U+6B79.
      {"utf8 widened by code page 932", L"Gr\uFF83\uFF7C\uFF83\u6B79 \u7AC4\uFF6C",
       L"Gr\u00FC\u00DFe \u20AC", 932},
      // 0xE9 0x0D is no character in 932: it became U+30FB, the CR is gone, and "caf\u30FB"
      // encodes again as other bytes. Only that line stays as widened.
      {"invalid sequence for code page 932", L"A: \uFF83\uFF7C\r\nB: caf\u30FB\nC: \uFF83\uFF7C",
       L"A: \u00FC\r\nB: caf\u30FB\nC: \u00FC", 932},
      // With the UTF-8 code page WinHTTP has decoded already: a second decoding would make
      // U+00E9 of the bytes C3 83 C2 A9 ("\u00C3\u00A9") from them.
      {"already decoded by code page 65001", L"X: \u00C3\u00A9 \u20AC", L"X: \u00C3\u00A9 \u20AC",
       65001},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeHeaderText(c.widened, c.codePage), c.decoded) << c.name;
  }
}

}  // namespace
}  // namespace ksrn::net::winhttp
