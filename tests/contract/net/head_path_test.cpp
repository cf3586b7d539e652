// Which way WinHTTP gave the raw head: as received where it supports the wire-encoding flag,
// as its own text elsewhere (Wine 8 refuses the flag). libcurl has only the first way.
#include <gtest/gtest.h>

#include "../contract_fixture.h"
#include "wine.h"

#if defined(_WIN32)
#include "net/winhttp/head_path_probe.h"

namespace ksrn::contract {
namespace {

class HeadPathTest : public OperationSetTest {};

TEST_F(HeadPathTest, TheHeadIsTakenAsReceivedWhereWinHttpGivesIt) {
  using net::winhttp::HeadPath;
  ASSERT_NO_FATAL_FAILURE(Exchange(kUtf8HeaderPath));
  EXPECT_NE(RawHeaders().find(kGreetingLine), WideString::npos);
  EXPECT_EQ(net::winhttp::LastHeadPath(), test::IsWine() ? HeadPath::Widened : HeadPath::Wire);
}

}  // namespace
}  // namespace ksrn::contract
#endif
