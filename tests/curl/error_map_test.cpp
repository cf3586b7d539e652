// libcurl's results carry the codes WinHTTP reports for the same events, and no failure of any
// kind reads as success.
#include "net/curl/error_map.h"

#include <gtest/gtest.h>

#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

TEST(ErrorMapTest, NetworkEventsCarryWinHttpCodes) {
  struct Case {
    CURLcode curl;
    uint32_t win32;
  };
  const Case cases[] = {
      {CURLE_COULDNT_RESOLVE_HOST, kErrorWinhttpNameNotResolved},
      {CURLE_COULDNT_RESOLVE_PROXY, kErrorWinhttpNameNotResolved},
      {CURLE_COULDNT_CONNECT, kErrorWinhttpCannotConnect},
      {CURLE_OPERATION_TIMEDOUT, kErrorWinhttpTimeout},
      {CURLE_PEER_FAILED_VERIFICATION, kErrorWinhttpSecureFailure},
      {CURLE_SSL_CONNECT_ERROR, kErrorWinhttpSecureFailure},
      {CURLE_RECV_ERROR, kErrorWinhttpConnectionError},
      {CURLE_PARTIAL_FILE, kErrorWinhttpConnectionError},
      {CURLE_WEIRD_SERVER_REPLY, kErrorWinhttpInvalidServerResponse},
      {CURLE_OUT_OF_MEMORY, kErrorNotEnoughMemory},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Win32FromCurl(c.curl), c.win32) << curl_easy_strerror(c.curl);
  }
}

TEST(ErrorMapTest, NoFailureReadsAsSuccess) {
  EXPECT_EQ(Win32FromCurl(CURLE_OK), kErrorSuccess);
  for (int code = CURLE_OK + 1; code < CURL_LAST; ++code) {
    EXPECT_NE(Win32FromCurl(static_cast<CURLcode>(code)), kErrorSuccess) << code;
  }
  for (int code = CURLM_OK + 1; code < CURLM_LAST; ++code) {
    EXPECT_NE(Win32FromMulti(static_cast<CURLMcode>(code)), kErrorSuccess) << code;
  }
}

}  // namespace
}  // namespace ksrn::net::curl
