// A handle given to an operation of another kind fails with WinHTTP's 12018 and leaves the
// handle usable; no network activity is needed to tell the kinds apart.
#include <gtest/gtest.h>

#include <cstdint>

#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net {
namespace {

TEST(HandleKindsTest, AHandleOfAnotherKindIsRefusedAndStaysOpen) {
  const NetHandle session = HttpOpen(kUserAgent);
  ASSERT_NE(session, nullptr);
  const NetHandle connection = HttpConnect(session, KSRN_WIDE("api.kraken.com"), 443);
  ASSERT_NE(connection, nullptr);
  const NetHandle request = HttpOpenRequest(connection, KSRN_WIDE("GET"), KSRN_WIDE("/"));
  ASSERT_NE(request, nullptr);

  EXPECT_FALSE(HttpSetTimeouts(connection, 1000, 1000, 1000, 1000));
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);
  EXPECT_EQ(HttpConnect(request, KSRN_WIDE("api.kraken.com"), 443), nullptr);
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);
  EXPECT_EQ(HttpOpenRequest(session, KSRN_WIDE("GET"), KSRN_WIDE("/")), nullptr);
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);
  uint32_t status = 0;
  EXPECT_FALSE(HttpQueryStatusCode(connection, status));
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);

  EXPECT_TRUE(HttpSetTimeouts(session, 1000, 1000, 1000, 1000)) << "still a session";
  EXPECT_TRUE(HttpSetOption(request, kOptionDisableFeature, kDisableRedirects))
      << "still a request";
  for (const NetHandle handle : {request, connection, session}) {
    EXPECT_TRUE(HttpCloseHandle(handle));
  }
}

}  // namespace
}  // namespace ksrn::net
