#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32_errors.h"

namespace ksrn {
namespace {

std::vector<uint8_t> Convert(const WideString& text, uint32_t& error) {
  const size_t size = MeasureUtf8(text, error);
  if (size == 0) {
    return {};
  }
  std::vector<uint8_t> out(size);
  EXPECT_EQ(EncodeUtf8(text, out.data(), out.size(), error), size);
  return out;
}

TEST(Utf8Test, EncodesEveryLengthOfSequence) {
  struct Case {
    WideString text;
    std::string utf8;
  };
  const Case cases[] = {
      {KSRN_WIDE("HTTP/1.1 200 OK\r\n"), "HTTP/1.1 200 OK\r\n"},
      {WideString(1, 0x00FC), "\xC3\xBC"},
      {WideString(1, 0x07FF), "\xDF\xBF"},
      {WideString(1, 0x0800), "\xE0\xA0\x80"},
      {WideString(1, 0x20AC), "\xE2\x82\xAC"},
      {WideString(1, 0xFFFF), "\xEF\xBF\xBF"},
      {WideString{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
      {WideString{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
      {WideString{'a', 0xD800, 0xDC00, 'b'},
       "a\xF0\x90\x80\x80"
       "b"},
  };
  for (const Case& c : cases) {
    uint32_t error = 0;
    EXPECT_EQ(Convert(c.text, error), std::vector<uint8_t>(c.utf8.begin(), c.utf8.end()));
  }
}

TEST(Utf8Test, RefusesUnpairedSurrogates) {
  const WideString cases[] = {
      {'a', 0xD800},          // high surrogate at the end
      {0xDC00, 'a'},          // low surrogate alone
      {0xD800, 'a', 0xDC00},  // high surrogate followed by something else
      {0xD800, 0xD800, 0xDC00},
  };
  for (const WideString& text : cases) {
    uint32_t error = 0;
    EXPECT_EQ(MeasureUtf8(text, error), 0u);
    EXPECT_EQ(error, kErrorNoUnicodeTranslation);
    std::vector<uint8_t> out(16);
    error = 0;
    EXPECT_EQ(EncodeUtf8(text, out.data(), out.size(), error), 0u);
    EXPECT_EQ(error, kErrorNoUnicodeTranslation);
  }
}

TEST(Utf8Test, NeverWritesPastTheCapacity) {
  const WideString text(4, 0x20AC);
  std::vector<uint8_t> out(12 + 4, 0xAA);
  uint32_t error = 0;
  EXPECT_EQ(EncodeUtf8(text, out.data(), 11, error), 0u);
  EXPECT_EQ(error, kErrorInsufficientBuffer);
  EXPECT_EQ(out[11], 0xAA);
}

}  // namespace
}  // namespace ksrn
