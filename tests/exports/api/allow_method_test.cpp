// KSRN_AllowMethod: DELETE, PUT and PATCH accepted for the running engine only, and sent as the
// host asked. The transfer suite checks every header line they carry.
#include <string>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

TEST_F(ExportTest, AllowedMethodsReachTheExchangeUntilShutdown) {
  const Text url = BenchUrl("api.binance.com", "/echo?orderId=7");
  const auto submit = [&](const KSRN_CHAR* method, const std::string& body = "") {
    return Answered(api.Request(url.c_str(), method, KSRN_TEXT("X-Key: k1"),
                                reinterpret_cast<const uint8_t*>(body.data()),
                                static_cast<int32_t>(body.size()), kFinishMs));
  };
  EXPECT_EQ(submit(KSRN_TEXT("DELETE")), (Answer{0, 5})) << "off until asked for";
  for (const KSRN_CHAR* name : {static_cast<const KSRN_CHAR*>(nullptr), KSRN_TEXT(""),
                                KSRN_TEXT("OPTIONS"), KSRN_TEXT("TRACE"), KSRN_TEXT("CONNECT"),
                                KSRN_TEXT("GET"), KSRN_TEXT("DELETE "), KSRN_TEXT("DELET")}) {
    EXPECT_EQ(Answered(api.AllowMethod(name)), (Answer{0, 87}));
  }
  for (const KSRN_CHAR* name :
       {KSRN_TEXT("delete"), KSRN_TEXT("Put"), KSRN_TEXT("PATCH"), KSRN_TEXT("PATCH")}) {
    EXPECT_EQ(Answered(api.AllowMethod(name)), (Answer{1, 0}));
  }

  const struct {
    const KSRN_CHAR* method;
    std::string body;
    std::string sent;  // upper-cased, as GET, HEAD and POST are
  } requests[] = {{KSRN_TEXT("DELETE"), "", "DELETE"},
                  {KSRN_TEXT("delete"), "{\"orderId\":7}", "DELETE"},
                  {KSRN_TEXT("PUT"), "{\"qty\":2}", "PUT"},
                  {KSRN_TEXT("Patch"), "", "PATCH"}};
  for (const auto& c : requests) {
    SCOPED_TRACE(c.sent + " " + c.body);
    const Answer id = submit(c.method, c.body);
    ASSERT_EQ(id.error, 0u);
    ASSERT_TRUE(WaitReady(static_cast<int32_t>(id.value)));
    const std::string echo = CopyBody(static_cast<int32_t>(id.value));
    EXPECT_EQ(echo.rfind(c.sent + " /echo?orderId=7 HTTP/1.1\r\n", 0), 0u) << echo;
    EXPECT_NE(echo.find("\r\nX-Key: k1\r\n"), std::string::npos) << echo;
    EXPECT_EQ(echo.substr(echo.find("\r\n\r\n") + 4), c.body) << echo;
  }
  EXPECT_EQ(submit(KSRN_TEXT("OPTIONS")), (Answer{0, 5}));
  EXPECT_EQ(submit(KSRN_TEXT("DELETE ")), (Answer{0, 5}));

  ASSERT_EQ(api.Shutdown(), 1);
  ASSERT_EQ(api.Init(1), 1);
  EXPECT_EQ(submit(KSRN_TEXT("DELETE")), (Answer{0, 5})) << "a new engine starts without";
  ASSERT_EQ(api.AllowMethod(KSRN_TEXT("PUT")), 1);
  ASSERT_EQ(api.Init(1), 1);
  EXPECT_EQ(submit(KSRN_TEXT("PUT")).error, 0u) << "a repeated init keeps what it allows";
}

}  // namespace
}  // namespace ksrn::test
