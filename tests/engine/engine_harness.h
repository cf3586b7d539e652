// Shared pieces of the engine tests: records, polling with a long cap, a white-box probe of the
// engine, and allocation failure on cue.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "engine/http_engine.h"
#include "fake_http_ops.h"
#include "platform/win32_errors.h"
#include "validate/exchange_hosts.h"

namespace ksrn {

// The engine's books as a test reads them.
struct EngineProbe {
  static uint64_t ResultBytes(HttpEngine& engine) { return engine.Counts().resultBytes; }
  // Sum of the charges of the records in the table; equals ResultBytes when the books balance.
  static uint64_t ChargesInTable(HttpEngine& engine) { return engine.Counts().chargesInTable; }
  static size_t TableSize(HttpEngine& engine) { return engine.Counts().tableEntries; }
  static size_t QueueSize(HttpEngine& engine) { return engine.Counts().queueEntries; }
  static uint64_t WatchdogScans(HttpEngine& engine) { return engine.Counts().watchdogScans; }
  static int32_t ThrottleMs(HttpEngine& engine) { return engine.ThrottleMs(); }
  // Read only from the thread that owns the engine, after Stop returned.
  static bool AllThreadsJoined(HttpEngine& engine) { return engine.UnjoinedThreads() == 0; }
};

namespace test {

inline constexpr auto kLongWait = std::chrono::seconds(30);

inline WideString Wide(const std::string& text) { return WideString(text.begin(), text.end()); }

inline RequestRef MakeRequest(const std::string& path = "/", int32_t timeoutMs = 60000) {
  auto request = std::make_shared<HttpRequest>();
  request->url.host = KSRN_WIDE("api.kraken.com");
  request->hostIndex = ExchangeHostIndex(request->url.host.c_str());
  request->url.pathAndQuery = Wide(path);
  request->method = KSRN_WIDE("GET");
  request->timeoutMs = timeoutMs;
  return request;
}

// An exchange whose transfers block in HttpReceiveResponse until released or cancelled.
inline fake::Exchange Blocking() {
  fake::Exchange exchange;
  exchange.blockAt = fake::Step::Receive;
  return exchange;
}

inline fake::Exchange WithBody(size_t bodyBytes, size_t headerBytes = 0, uint32_t status = 200) {
  fake::Exchange exchange;
  exchange.statusCode = status;
  exchange.body.assign(bodyBytes, 0x5A);
  // Raw headers are UTF-16 text; ASCII keeps one byte per unit once stored as UTF-8.
  exchange.rawHeaders = WideString(headerBytes, KSRN_WIDE('h'));
  return exchange;
}

// Polls pred every millisecond until it holds or cap passes; never a fixed sleep.
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds cap = kLongWait) {
  const auto end = std::chrono::steady_clock::now() + cap;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline bool WaitReady(const RequestRef& request) {
  return WaitUntil([&] { return request->ready.load(); });
}

inline uint32_t ErrorOf(const RequestRef& request) {
  std::lock_guard lock(request->resultMutex);
  return request->result.error;
}

// Allocation failure on cue, from the replaced global operator new of this test program.
// FailNthAllocationOnThisThread(n): the n-th allocation from now on the calling thread throws
// std::bad_alloc (0 disarms). FailAllocationsFrom(bytes): every allocation of at least that many
// bytes, on any thread, throws until disarmed with 0.
void FailNthAllocationOnThisThread(int n);
void FailAllocationsFrom(size_t bytes);

}  // namespace test

// A running engine per test, over whichever operation set the test program links.
class EngineFixture : public ::testing::Test {
 protected:
  RequestRef Submit(const std::string& path = "/", int32_t timeoutMs = 60000) {
    RequestRef request = test::MakeRequest(path, timeoutMs);
    uint32_t error = 0xFFFFFFFF;
    EXPECT_NE(engine->Submit(request, error), 0);
    EXPECT_EQ(error, kErrorSuccess);
    return request;
  }

  RequestIdAllocator allocator;
  std::unique_ptr<HttpEngine> engine;
};

// A fresh fake and a running engine per test; afterwards the engine is gone and every handle
// the transfers opened was closed exactly once.
class EngineTest : public EngineFixture {
 protected:
  void SetUp() override {
    fake::Reset();
    engine = std::make_unique<HttpEngine>(allocator);
  }
  void TearDown() override {
    engine.reset();
    EXPECT_EQ(fake::OpenHandleCount(), 0);
    EXPECT_EQ(fake::DoubleCloseCount(), 0);
  }
};

}  // namespace ksrn
