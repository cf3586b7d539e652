// The facade checks a handle's kind itself, also where WinHTTP would take the handle (time-outs
// set on a request): an operation given a handle of another kind fails with 12018, one given a
// closed handle with 6. Nothing here connects.
#include <gtest/gtest.h>

#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net {
namespace {

TEST(HandleKindTest, OperationsRefuseHandlesOfAnotherKindOrClosed) {
  const NetHandle session = HttpOpen(kUserAgent);
  ASSERT_NE(session, nullptr) << HttpLastError();
  const NetHandle connection = HttpConnect(session, L"localhost", 443);
  ASSERT_NE(connection, nullptr) << HttpLastError();
  const NetHandle request = HttpOpenRequest(connection, L"GET", L"/");
  ASSERT_NE(request, nullptr) << HttpLastError();

  EXPECT_FALSE(HttpSetTimeouts(request, 1000, 1000, 1000, 1000));
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);
  EXPECT_EQ(HttpConnect(connection, L"localhost", 443), nullptr);
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);
  EXPECT_EQ(HttpOpenRequest(session, L"GET", L"/"), nullptr);
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);
  EXPECT_FALSE(HttpSetTimeouts(connection, 1000, 1000, 1000, 1000));
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);
  EXPECT_FALSE(HttpReceiveResponse(connection));
  EXPECT_EQ(HttpLastError(), kErrorWinhttpIncorrectHandleType);

  EXPECT_TRUE(HttpCloseHandle(request)) << HttpLastError();
  EXPECT_TRUE(HttpCloseHandle(connection)) << HttpLastError();
  EXPECT_EQ(HttpOpenRequest(connection, L"GET", L"/"), nullptr);
  EXPECT_EQ(HttpLastError(), kErrorInvalidHandle);
  EXPECT_TRUE(HttpCloseHandle(session)) << HttpLastError();
  EXPECT_FALSE(HttpCloseHandle(session));
  EXPECT_EQ(HttpLastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace ksrn::net
