// The request parts as libcurl gets them: the caller's header lines unchanged, empty values in
// libcurl's own spelling, libcurl's unwanted defaults switched off, and nothing accepted that
// would change the shape of the request.
#include "net/curl/request_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

using Lines = std::vector<std::string>;

TEST(RequestTextTest, HeaderBlocksBecomeLibcurlLines) {
  struct Case {
    const char* name;
    WideString block;
    bool hasBody;
    Lines lines;
  };
  const Case cases[] = {
      {"no headers", KSRN_WIDE(""), false, {"Accept:", "Expect:"}},
      {"a body also refuses the default content type",
       KSRN_WIDE(""),
       true,
       {"Accept:", "Expect:", "Content-Type:"}},
      {"lines unchanged, in order, a final CR LF dropped",
       KSRN_WIDE("X-B: 2\r\nX-A:  spaced value \t\r\nX-C: a:b\r\n"),
       false,
       {"X-B: 2", "X-A:  spaced value \t", "X-C: a:b", "Accept:", "Expect:"}},
      {"empty values are sent, not removed",
       KSRN_WIDE("X-Empty:\r\nX-Blank: \t "),
       false,
       {"X-Empty;", "X-Blank;", "Accept:", "Expect:"}},
      {"the caller's own Accept, Expect and Content-Type win",
       KSRN_WIDE("accept: text/plain\r\nEXPECT: 100-continue\r\nContent-Type:"),
       true,
       {"accept: text/plain", "EXPECT: 100-continue", "Content-Type;"}},
      {"a longer name is another header",
       KSRN_WIDE("Accept-Language: en"),
       false,
       {"Accept-Language: en", "Accept:", "Expect:"}},
      {"Latin-1 units as single bytes",
       KSRN_WIDE("X-Name: caf\u00E9"),
       false,
       {"X-Name: caf\xE9", "Accept:", "Expect:"}},
  };
  for (const Case& c : cases) {
    Lines lines;
    EXPECT_EQ(HeaderListLines(c.block, c.hasBody, lines), kErrorSuccess) << c.name;
    EXPECT_EQ(lines, c.lines) << c.name;
  }
}

TEST(RequestTextTest, MalformedHeaderLinesAreRefused) {
  const WideString blocks[] = {
      KSRN_WIDE("NoColon"),
      KSRN_WIDE(": no name"),
      KSRN_WIDE("X A: space in name"),
      KSRN_WIDE("X-A: 1\r\n folded"),
      KSRN_WIDE("X-A: lone\nLF"),
      KSRN_WIDE("X-A: lone\rCR"),
      KSRN_WIDE("X-A: \u0100"),
      WideString(KSRN_WIDE("X-A: nul\0byte"), 13),
  };
  for (const WideString& block : blocks) {
    Lines lines;
    EXPECT_EQ(HeaderListLines(block, false, lines), kErrorInvalidParameter);
  }
}

TEST(RequestTextTest, OriginTargetAndMethodAcceptOnlyWhatGoesOutUnchanged) {
  std::string bytes;
  EXPECT_EQ(ServerOrigin(KSRN_WIDE("api.binance.com"), 443, bytes), kErrorSuccess);
  EXPECT_EQ(bytes, "https://api.binance.com:443/");
  for (const WideChar* host : {KSRN_WIDE(""), KSRN_WIDE("a/b"), KSRN_WIDE("user@host"),
                               KSRN_WIDE("host:80"), KSRN_WIDE("h\u00F6st")}) {
    EXPECT_EQ(ServerOrigin(host, 443, bytes), kErrorWinhttpInvalidUrl);
  }

  EXPECT_EQ(TargetBytes(KSRN_WIDE("/a/../b?c=%2f&d=\"<>{}"), bytes), kErrorSuccess);
  EXPECT_EQ(bytes, "/a/../b?c=%2f&d=\"<>{}");
  for (const WideChar* target :
       {KSRN_WIDE(""), KSRN_WIDE("/a b"), KSRN_WIDE("/a\r\nX: 1"), KSRN_WIDE("/caf\u00E9")}) {
    EXPECT_EQ(TargetBytes(target, bytes), kErrorWinhttpInvalidUrl);
  }

  EXPECT_EQ(MethodBytes(KSRN_WIDE("POST"), bytes), kErrorSuccess);
  EXPECT_EQ(bytes, "POST");
  for (const WideChar* method : {KSRN_WIDE(""), KSRN_WIDE("GE T"), KSRN_WIDE("GET\r\n")}) {
    EXPECT_EQ(MethodBytes(method, bytes), kErrorInvalidParameter);
  }
}

}  // namespace
}  // namespace ksrn::net::curl
