#include "engine/http_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fake_http_ops.h"

namespace ksrn {
namespace {

class HttpRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
};

TEST_F(HttpRequestTest, NewRecordHasItsInitialValues) {
  HttpRequest request;
  EXPECT_EQ(request.id, 0);
  EXPECT_TRUE(request.url.host.empty());
  EXPECT_TRUE(request.url.pathAndQuery.empty());
  EXPECT_EQ(request.url.port, 443);
  EXPECT_TRUE(request.method.empty());
  EXPECT_TRUE(request.headers.empty());
  EXPECT_TRUE(request.body.empty());
  EXPECT_EQ(request.timeoutMs, 10000);
  EXPECT_EQ(request.deadline, 0);
  EXPECT_EQ(request.state.load(), RequestState::Queued);
  EXPECT_FALSE(request.ready.load());
  EXPECT_FALSE(request.cancelled.load());
  EXPECT_FALSE(request.timedOut.load());
  EXPECT_EQ(request.chargedBytes, 0u);
  EXPECT_EQ(request.result.statusCode, 0u);
  EXPECT_EQ(request.result.error, 0u);
  EXPECT_FALSE(request.result.bodyComplete);
  EXPECT_EQ(request.sessionHandle.load(), nullptr);
  EXPECT_EQ(request.connectionHandle.load(), nullptr);
  EXPECT_EQ(request.requestHandle.load(), nullptr);
  EXPECT_EQ(static_cast<int>(RequestState::Done), 3);
}

TEST_F(HttpRequestTest, InstallNullHandleFailsAndClosesNothing) {
  HttpRequest request;
  EXPECT_FALSE(request.InstallHandle(request.sessionHandle, nullptr));
  EXPECT_EQ(request.sessionHandle.load(), nullptr);
}

TEST_F(HttpRequestTest, InstallIntoEmptySlotKeepsTheHandleOpen) {
  HttpRequest request;
  net::NetHandle handle = fake::NewHandle();
  EXPECT_TRUE(request.InstallHandle(request.connectionHandle, handle));
  EXPECT_EQ(request.connectionHandle.load(), handle);
  EXPECT_EQ(fake::CloseCount(handle), 0);
}

TEST_F(HttpRequestTest, InstallAfterAFlagClosesTheNewHandle) {
  for (bool timedOut : {false, true}) {
    HttpRequest request;
    (timedOut ? request.timedOut : request.cancelled).store(true);
    net::NetHandle handle = fake::NewHandle();
    EXPECT_FALSE(request.InstallHandle(request.requestHandle, handle));
    EXPECT_EQ(request.requestHandle.load(), nullptr);
    EXPECT_EQ(fake::CloseCount(handle), 1);
  }
}

TEST_F(HttpRequestTest, InstallIntoOccupiedSlotClosesOnlyTheNewHandle) {
  HttpRequest request;
  net::NetHandle first = fake::NewHandle();
  net::NetHandle second = fake::NewHandle();
  ASSERT_TRUE(request.InstallHandle(request.sessionHandle, first));
  EXPECT_FALSE(request.InstallHandle(request.sessionHandle, second));
  EXPECT_EQ(request.sessionHandle.load(), first);
  EXPECT_EQ(fake::CloseCount(first), 0);
  EXPECT_EQ(fake::CloseCount(second), 1);
}

TEST_F(HttpRequestTest, CloseNetworkHandlesClosesEachInstalledHandleOnce) {
  HttpRequest request;
  net::NetHandle session = fake::NewHandle();
  net::NetHandle connection = fake::NewHandle();
  ASSERT_TRUE(request.InstallHandle(request.sessionHandle, session));
  ASSERT_TRUE(request.InstallHandle(request.connectionHandle, connection));
  request.CloseNetworkHandles();
  request.CloseNetworkHandles();
  EXPECT_EQ(fake::CloseCount(session), 1);
  EXPECT_EQ(fake::CloseCount(connection), 1);
  EXPECT_EQ(request.sessionHandle.load(), nullptr);
  EXPECT_EQ(request.connectionHandle.load(), nullptr);
}

// Many threads sweep the slots while they are filled: every handle must be closed exactly once.
TEST_F(HttpRequestTest, ConcurrentClosersCloseEveryHandleExactlyOnce) {
  constexpr int kIterations = 2000;
  constexpr int kClosers = 3;
  for (int i = 0; i < kIterations; ++i) {
    HttpRequest request;
    net::NetHandle handles[] = {fake::NewHandle(), fake::NewHandle(), fake::NewHandle()};
    request.InstallHandle(request.sessionHandle, handles[0]);
    request.InstallHandle(request.connectionHandle, handles[1]);
    request.InstallHandle(request.requestHandle, handles[2]);
    std::atomic<bool> go{false};
    std::vector<std::thread> closers;
    for (int c = 0; c < kClosers; ++c) {
      closers.emplace_back([&] {
        while (!go.load()) {
        }
        request.CloseNetworkHandles();
      });
    }
    go.store(true);
    for (auto& closer : closers) {
      closer.join();
    }
    for (net::NetHandle handle : handles) {
      ASSERT_EQ(fake::CloseCount(handle), 1) << "iteration " << i;
    }
  }
  EXPECT_EQ(fake::DoubleCloseCount(), 0);
}

// A canceller raises its flag and sweeps while the transfer installs: whatever the interleaving,
// the handle ends closed exactly once and the slot ends empty.
TEST_F(HttpRequestTest, CancelRacingInstallClosesTheHandleExactlyOnce) {
  constexpr int kIterations = 3000;
  for (int i = 0; i < kIterations; ++i) {
    HttpRequest request;
    net::NetHandle handle = fake::NewHandle();
    std::atomic<bool> go{false};
    bool installed = false;
    std::thread transfer([&] {
      while (!go.load()) {
      }
      installed = request.InstallHandle(request.requestHandle, handle);
    });
    std::thread canceller([&] {
      while (!go.load()) {
      }
      request.cancelled.store(true);
      request.CloseNetworkHandles();
    });
    go.store(true);
    transfer.join();
    canceller.join();
    if (installed) {
      // Installed before the flag was seen: the canceller's sweep may have run first.
      request.CloseNetworkHandles();
    }
    ASSERT_EQ(fake::CloseCount(handle), 1) << "iteration " << i;
    ASSERT_EQ(request.requestHandle.load(), nullptr);
  }
}

TEST_F(HttpRequestTest, DestroyingARecordClosesNoHandle) {
  net::NetHandle handle = fake::NewHandle();
  {
    HttpRequest request;
    ASSERT_TRUE(request.InstallHandle(request.sessionHandle, handle));
    request.sessionHandle.store(nullptr);  // as if the transfer's guard had taken it
  }
  EXPECT_EQ(fake::CloseCount(handle), 0);
}

TEST(HttpResultTest, MoveAssignmentReleasesOldDataAndEmptiesTheSource) {
  HttpResult target;
  target.body.assign(1000, 1);
  target.headers.assign(100, 2);
  HttpResult source;
  source.statusCode = 404;
  source.error = 12002;
  source.bodyComplete = true;
  source.body.assign(10, 3);
  source.headers.assign(5, 4);
  const uint8_t* sourceBody = source.body.data();

  target = std::move(source);

  EXPECT_EQ(target.statusCode, 404u);
  EXPECT_EQ(target.error, 12002u);
  EXPECT_TRUE(target.bodyComplete);
  EXPECT_EQ(target.body, std::vector<uint8_t>(10, 3));
  EXPECT_EQ(target.headers, std::vector<uint8_t>(5, 4));
  EXPECT_EQ(target.body.data(), sourceBody) << "the body must be taken over, not copied";
  EXPECT_TRUE(source.body.empty());
  EXPECT_EQ(source.body.capacity(), 0u);
  EXPECT_TRUE(source.headers.empty());
  EXPECT_EQ(source.headers.capacity(), 0u);
  EXPECT_EQ(source.statusCode, 404u);
  EXPECT_EQ(source.error, 12002u);
  EXPECT_TRUE(source.bodyComplete);
}

TEST(HttpResultTest, ResultsCannotBeCopied) {
  static_assert(!std::is_copy_constructible_v<HttpResult>);
  static_assert(!std::is_copy_assignable_v<HttpResult>);
  static_assert(std::is_nothrow_move_constructible_v<HttpResult>);
  static_assert(!std::is_copy_constructible_v<HttpRequest>);
  HttpResult failure = HttpResult::Failure(995);
  EXPECT_EQ(failure.error, 995u);
  EXPECT_EQ(failure.statusCode, 0u);
  EXPECT_FALSE(failure.bodyComplete);
  EXPECT_TRUE(failure.body.empty());
}

}  // namespace
}  // namespace ksrn
