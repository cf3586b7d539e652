// The fixture of the operation-set contract tests: opens a session, a connection and a request
// the way the transfer does, and closes whatever a test left open.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bench_answers.h"
#include "net/http_ops.h"

namespace ksrn::contract {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ASCII both ways, for messages and expected texts.
inline WideString Wide(std::string_view text) { return WideString(text.begin(), text.end()); }
inline std::string Narrow(WideStringView text) {
  std::string narrow;
  for (WideChar unit : text) {
    narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return narrow;
}

class OperationSetTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareOperationSet(); }

  void TearDown() override { CloseAll(); }

  // Closes what is open, innermost first, for the next case of a table.
  void CloseAll() {
    for (net::NetHandle* handle : {&request, &connection, &session}) {
      if (*handle != nullptr) {
        net::HttpCloseHandle(*handle);
        *handle = nullptr;
      }
    }
  }

  // Opens the three handles for host and path with every time-out set to timeoutMs.
  void Open(const WideChar* host, const WideChar* path, int timeoutMs = 20000,
            uint16_t port = 443) {
    session = net::HttpOpen(net::kUserAgent);
    ASSERT_NE(session, nullptr) << net::HttpLastError();
    ASSERT_TRUE(net::HttpSetTimeouts(session, timeoutMs, timeoutMs, timeoutMs, timeoutMs));
    connection = net::HttpConnect(session, host, port);
    ASSERT_NE(connection, nullptr) << net::HttpLastError();
    request = net::HttpOpenRequest(connection, KSRN_WIDE("GET"), path);
    ASSERT_NE(request, nullptr) << net::HttpLastError();
    ASSERT_TRUE(net::HttpSetOption(request, net::kOptionDisableFeature, net::kDisableRedirects));
  }

  // Open, send and receive the head.
  void Exchange(const WideChar* path) {
    ASSERT_NO_FATAL_FAILURE(Open(kGoodHost, path));
    ASSERT_TRUE(net::HttpSendRequest(request, nullptr, 0, nullptr, 0)) << net::HttpLastError();
    ASSERT_TRUE(net::HttpReceiveResponse(request)) << net::HttpLastError();
  }

  // Closes a handle on behalf of the test, so that TearDown does not close it again.
  bool Close(net::NetHandle& handle) {
    const bool closed = net::HttpCloseHandle(handle);
    handle = nullptr;
    return closed;
  }

  // The raw head by the two-call protocol; empty on a failure.
  WideString RawHeaders() {
    uint32_t bytes = 0;
    if (net::HttpQueryRawHeaders(request, nullptr, bytes) ||
        net::HttpLastError() != kErrorInsufficientBuffer) {
      return {};
    }
    std::vector<WideChar> text(bytes / sizeof(WideChar));
    if (!net::HttpQueryRawHeaders(request, text.data(), bytes)) {
      return {};
    }
    return WideString(text.data(), bytes / sizeof(WideChar));
  }

  // Reads the body to its end with the data-available and read loop, in reads of at most
  // 65,536 bytes like the transfer's. Returns the failing call's code, or 0 at the end.
  uint32_t ReadBody(std::vector<uint8_t>& body) {
    for (;;) {
      uint32_t available = 0;
      if (!net::HttpQueryDataAvailable(request, available)) {
        return net::HttpLastError();
      }
      if (available == 0) {
        return kErrorSuccess;
      }
      const uint32_t chunk = available < 65536 ? available : 65536;
      const size_t before = body.size();
      body.resize(before + chunk);
      uint32_t bytesRead = 0;
      if (!net::HttpReadData(request, body.data() + before, chunk, bytesRead)) {
        body.resize(before);
        return net::HttpLastError();
      }
      body.resize(before + bytesRead);
      if (bytesRead == 0) {
        return kErrorReadFault;  // data announced, none delivered
      }
    }
  }

  net::NetHandle session = nullptr;
  net::NetHandle connection = nullptr;
  net::NetHandle request = nullptr;
};

}  // namespace ksrn::contract
