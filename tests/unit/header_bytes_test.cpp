// The reading of response head bytes shared by every platform: valid UTF-8 as UTF-8, any other
// byte as its Latin-1 code point, nothing lost.
#include "platform/header_bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace ksrn {
namespace {

TEST(HeaderBytesTest, ValidUtf8IsDecodedAndAnyOtherByteReadAsLatin1) {
  struct Case {
    const char* name;
    std::string bytes;
    WideString text;
  };
  const Case cases[] = {
      {"ascii", "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", KSRN_WIDE("HTTP/1.1 200 OK\r\nA: b\r\n\r\n")},
      {"two and three bytes",
       "Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x82\xAC",
       KSRN_WIDE("Gr\u00FC\u00DFe \u20AC")},
      {"four bytes", "\xF0\x9F\x98\x80", KSRN_WIDE("\U0001F600")},
      {"stray byte",
       "A\xFF"
       "B",
       KSRN_WIDE("A\u00FFB")},
      {"Latin-1 text", "caf\xE9", KSRN_WIDE("caf\u00E9")},
      {"truncated sequence", "\xE2\x82", KSRN_WIDE("\u00E2\u0082")},
      {"overlong form", "\xC0\xAF", KSRN_WIDE("\u00C0\u00AF")},
      {"encoded surrogate", "\xED\xA0\x80", KSRN_WIDE("\u00ED\u00A0\u0080")},
      {"above U+10FFFF", "\xF4\x90\x80\x80", KSRN_WIDE("\u00F4\u0090\u0080\u0080")},
      {"valid after invalid", "\xFF\xC3\xA9", KSRN_WIDE("\u00FF\u00E9")},
      {"NUL kept", std::string("a\0b", 3), WideString(KSRN_WIDE("a\0b"), 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeHeaderBytes(c.bytes), c.text) << c.name;
  }
}

}  // namespace
}  // namespace ksrn
