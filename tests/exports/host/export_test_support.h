// Shared helpers of the export suites: the loaded library, UTF-16 text, bench URLs, and a
// record of what a call returned together with the last error it left.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ksrn_host.h"

#if defined(_WIN32)
#define KSRN_TEXT(text) L##text
#else
#define KSRN_TEXT(text) u##text
#endif

namespace ksrn::test {

using namespace std::chrono_literals;
using Text = std::basic_string<KSRN_CHAR>;

// Time budget for requests a test expects to finish normally: generous, so that a loaded
// machine (or Wine's start-up) never turns them into time-outs.
inline constexpr int32_t kFinishMs = 60000;

// The library loaded by main; every test calls it through these pointers only.
const KsrnApi& Api();
bool LoadApi(const char* path);

// What a call returned and the last error it left, read right after the call.
struct Answer {
  int64_t value;
  uint32_t error;
  bool operator==(const Answer&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Answer& answer);

// The argument is evaluated, and so the call made, before the last error is read.
inline Answer Answered(int64_t value) { return {value, Api().GetLastError()}; }

// One export call with the answer it must give; for tables that run every export.
struct ExportCall {
  const char* name;
  std::function<int64_t()> call;
  Answer expected;
};

// Every export that needs the engine, called with the given id where it takes one, each with
// the answer it gives while the library is not initialised.
std::vector<ExportCall> EngineCallsWithoutEngine(int32_t id);

Text Widen(std::string_view ascii);
// "https://" + host + path, for a host the hermetic bench serves.
Text BenchUrl(std::string_view host, std::string_view path);

// Polls until the request is ready; false when it is not within the time given.
bool WaitReady(int32_t id, std::chrono::milliseconds timeout = 90s);
std::string CopyBody(int32_t id);
std::string CopyHeaders(int32_t id);
// The first n bytes of the simulated exchange's body pattern: byte i is (i * 7 + 3) % 251.
std::string PatternBytes(size_t n);

// Each test starts with an initialised library and shuts it down at the end, so no request
// and no throttle leaks from one test into the next.
class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets the throttle to its maximum and has one request take the dispatch slot: for a minute
  // every later submission stays unfinished until it is cancelled or runs out of time. Call it
  // before this engine has dispatched anything. Returns the id of that first request, which has
  // finished by then.
  int32_t HoldDispatch();
  // Submits a GET that HoldDispatch keeps waiting; it is never sent.
  int32_t SubmitHeld(int32_t timeoutMs = 120000);

  const KsrnApi& api = Api();
};

}  // namespace ksrn::test
