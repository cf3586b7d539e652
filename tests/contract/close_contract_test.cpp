// The operation set's closing contract, the same for every implementation: a close from another
// thread ends a blocked wait at once with 12017, a closed handle value stays safe to pass, and
// closing twice is harmless.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "contract_fixture.h"

namespace ksrn::contract {
namespace {

// Far below the server's 10 s, far above any scheduling delay.
constexpr auto kPromptly = 2s;
constexpr auto kBlockedFor = 500ms;

class CloseContractTest : public OperationSetTest {
 protected:
  // Runs wait() on this thread and closes the request from another once wait() has been
  // blocked for a while. Returns the wait's result; closeToEnd is how long it ran on after the
  // close.
  template <class Wait>
  bool WaitAndClose(Wait wait, uint32_t& error, Clock::duration& closeToEnd) {
    std::atomic<bool> waiting{false};
    Clock::time_point closedAt;
    std::thread closer([&] {
      while (!waiting.load()) {
        std::this_thread::yield();
      }
      std::this_thread::sleep_for(kBlockedFor);
      closedAt = Clock::now();
      EXPECT_TRUE(net::HttpCloseHandle(request));
    });
    waiting.store(true);
    const bool result = wait();
    error = net::HttpLastError();
    const Clock::time_point endedAt = Clock::now();
    closer.join();
    closeToEnd = endedAt - closedAt;
    return result;
  }

  // Every operation on a closed request fails, with 6 or 12017, and touches nothing.
  void ExpectRequestOperationsFail(net::NetHandle closed) {
    const auto expectRefused = [](bool result, const char* operation) {
      EXPECT_FALSE(result) << operation;
      const uint32_t error = net::HttpLastError();
      EXPECT_TRUE(error == kErrorInvalidHandle || error == kErrorWinhttpOperationCancelled)
          << operation << ": " << error;
    };
    uint32_t value = 0;
    uint8_t byte = 0;
    uint32_t bytes = 0;
    expectRefused(net::HttpSetOption(closed, net::kOptionDisableFeature, net::kDisableRedirects),
                  "set option");
    expectRefused(net::HttpSendRequest(closed, nullptr, 0, nullptr, 0), "send");
    expectRefused(net::HttpReceiveResponse(closed), "receive");
    expectRefused(net::HttpQueryStatusCode(closed, value), "status");
    expectRefused(net::HttpQueryRawHeaders(closed, nullptr, bytes), "raw headers");
    expectRefused(net::HttpQueryDataAvailable(closed, value), "data available");
    expectRefused(net::HttpReadData(closed, &byte, 1, bytes), "read");
  }
};

TEST_F(CloseContractTest, CloseEndsABlockedReceiveAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Open(kGoodHost, kSlowHeadPath));
  ASSERT_TRUE(net::HttpSendRequest(request, nullptr, 0, nullptr, 0));
  uint32_t error = 0;
  Clock::duration closeToEnd{};
  EXPECT_FALSE(WaitAndClose([&] { return net::HttpReceiveResponse(request); }, error, closeToEnd));
  EXPECT_EQ(error, kErrorWinhttpOperationCancelled);
  EXPECT_LT(closeToEnd, kPromptly) << "the wait ran on to the server's answer";

  const net::NetHandle closed = request;
  request = nullptr;
  ExpectRequestOperationsFail(closed);
  EXPECT_FALSE(net::HttpCloseHandle(closed)) << "closing twice";
  EXPECT_EQ(net::HttpLastError(), kErrorInvalidHandle);
}

TEST_F(CloseContractTest, CloseEndsABlockedBodyWaitAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Exchange(kSlowBodyPath));
  uint32_t available = 0;
  ASSERT_TRUE(net::HttpQueryDataAvailable(request, available));
  ASSERT_EQ(available, 1u);
  uint8_t byte = 0;
  uint32_t bytesRead = 0;
  ASSERT_TRUE(net::HttpReadData(request, &byte, 1, bytesRead));
  EXPECT_EQ(bytesRead, 1u);
  EXPECT_EQ(byte, Pattern(1)[0]);

  uint32_t error = 0;
  Clock::duration closeToEnd{};
  EXPECT_FALSE(WaitAndClose([&] { return net::HttpQueryDataAvailable(request, available); }, error,
                            closeToEnd));
  EXPECT_EQ(error, kErrorWinhttpOperationCancelled);
  EXPECT_LT(closeToEnd, kPromptly);
  request = nullptr;
}

TEST_F(CloseContractTest, ClosedHandlesStaySafeToPass) {
  ASSERT_NO_FATAL_FAILURE(Open(kGoodHost, kBodyPath));
  const net::NetHandle closedRequest = request;
  const net::NetHandle closedConnection = connection;
  const net::NetHandle closedSession = session;
  EXPECT_TRUE(Close(request));
  EXPECT_TRUE(Close(connection));
  EXPECT_TRUE(Close(session));

  ExpectRequestOperationsFail(closedRequest);
  EXPECT_EQ(net::HttpOpenRequest(closedConnection, KSRN_WIDE("GET"), kBodyPath), nullptr);
  EXPECT_EQ(net::HttpLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(net::HttpSetTimeouts(closedSession, 1000, 1000, 1000, 1000));
  EXPECT_EQ(net::HttpLastError(), kErrorInvalidHandle);
  EXPECT_EQ(net::HttpConnect(closedSession, kGoodHost, 443), nullptr);
  EXPECT_EQ(net::HttpLastError(), kErrorInvalidHandle);
  for (const net::NetHandle closed : {closedRequest, closedConnection, closedSession}) {
    EXPECT_FALSE(net::HttpCloseHandle(closed)) << "closing twice";
    EXPECT_EQ(net::HttpLastError(), kErrorInvalidHandle);
  }
  EXPECT_FALSE(net::HttpCloseHandle(nullptr));
  EXPECT_EQ(net::HttpLastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace ksrn::contract
