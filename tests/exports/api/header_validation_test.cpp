// The caller's extra request header block, checked at submission: CR LF separated
// "name:value" lines with token names and printable values, six names refused.
#include "export_test_support.h"

namespace ksrn::test {
namespace {

struct HeaderCase {
  const char* what;
  const KSRN_CHAR* block;
  uint32_t expected;
};

const HeaderCase kHeaderCases[] = {
    {"empty block", KSRN_TEXT(""), 0},
    {"one line", KSRN_TEXT("X-Api-Key: abc"), 0},
    {"one line ending in CR LF", KSRN_TEXT("X-Api-Key: abc\r\n"), 0},
    {"two lines", KSRN_TEXT("X-Api-Key: abc\r\nX-Sign: def"), 0},
    {"closing blank line", KSRN_TEXT("X-Api-Key: abc\r\n\r\n"), 13},
    {"only CR LF", KSRN_TEXT("\r\n"), 13},
    {"blank line between", KSRN_TEXT("A: 1\r\n\r\nB: 2"), 13},
    {"LF alone separates nothing", KSRN_TEXT("A: 1\nB: 2"), 13},
    {"CR alone separates nothing", KSRN_TEXT("A: 1\rB: 2"), 13},
    {"trailing LF", KSRN_TEXT("A: 1\n"), 13},
    {"no colon", KSRN_TEXT("X-Api-Key abc"), 13},
    {"colon only on the next line", KSRN_TEXT("X-Api-Key\r\nB: c"), 13},
    {"empty name", KSRN_TEXT(": value"), 13},
    {"space before the colon", KSRN_TEXT("X-Api-Key : abc"), 13},
    {"space inside the name", KSRN_TEXT("X Api: abc"), 13},
    {"separator in the name", KSRN_TEXT("X(Api): abc"), 13},
    {"non-ASCII name", KSRN_TEXT("X-Cl\u00e9: abc"), 13},
    {"every token symbol", KSRN_TEXT("!#$%&'*+-.^_`|~09azAZ: v"), 0},
    {"continuation line with a space", KSRN_TEXT("A: 1\r\n 2"), 13},
    {"continuation line with a tab", KSRN_TEXT("A: 1\r\n\t2"), 13},
    {"leading space", KSRN_TEXT(" A: 1"), 13},
    {"further colons, spaces and tabs in the value", KSRN_TEXT("A: b:c: d \t "), 0},
    {"empty value", KSRN_TEXT("A:"), 0},
    {"value with DEL", KSRN_TEXT("A: \x7f"), 13},
    {"value with a control unit", KSRN_TEXT("A: \x01"), 13},
    {"value with ESC", KSRN_TEXT("A: \x1b[0m"), 13},
    {"value above ASCII", KSRN_TEXT("A: caf\u00e9"), 13},
    {"value with a surrogate", KSRN_TEXT("A: \xd83d"), 13},
    {"same name twice", KSRN_TEXT("A: 1\r\nA: 2"), 0},
    {"Host", KSRN_TEXT("Host: api.kraken.com"), 5},
    {"host in capitals", KSRN_TEXT("HOST: x"), 5},
    {"host mixed", KSRN_TEXT("hOsT: x"), 5},
    {"Connection", KSRN_TEXT("Connection: close"), 5},
    {"Content-Length", KSRN_TEXT("content-length: 0"), 5},
    {"Proxy-Connection", KSRN_TEXT("Proxy-Connection: keep-alive"), 5},
    {"Transfer-Encoding", KSRN_TEXT("TRANSFER-ENCODING: chunked"), 5},
    {"Proxy-Authorization", KSRN_TEXT("Proxy-Authorization: Basic eA=="), 5},
    {"refused name on a later line", KSRN_TEXT("A: 1\r\nHost: x"), 5},
    {"prefix of a refused name", KSRN_TEXT("X-Host: x"), 0},
    {"suffix of a refused name", KSRN_TEXT("Hostname: x"), 0},
    {"refused name inside a longer one", KSRN_TEXT("Content-Length-Hint: 1"), 0},
    {"refused name with a space before the colon", KSRN_TEXT("Host : x"), 13},
    {"refused line before a malformed one", KSRN_TEXT("Host: x\r\nbad line"), 5},
    {"malformed line before a refused one", KSRN_TEXT("bad line\r\nHost: x"), 13},
};

TEST_F(ExportTest, HeaderBlocksAreAcceptedOrRefusedWithTheirCode) {
  HoldDispatch();
  const Text url = BenchUrl("api.kraken.com", "/");
  for (const HeaderCase& c : kHeaderCases) {
    const int32_t id = api.Request(url.c_str(), nullptr, c.block, nullptr, 0, 0);
    EXPECT_EQ(api.GetLastError(), c.expected) << c.what;
    EXPECT_EQ(id > 0, c.expected == 0) << c.what;
    if (id > 0) {
      EXPECT_EQ(api.Free(id), 1);
    }
  }
}

}  // namespace
}  // namespace ksrn::test
