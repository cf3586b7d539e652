// A scriptable HTTP operation set for tests, linked in place of the platform's. Every request is
// answered from an Exchange chosen by the request's object name (path and query); any step can
// be made to fail with a chosen code or to block until released or until its handle is closed.
// Handles live until Reset(), so tests can count how often each one was closed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "net/http_ops.h"
#include "platform/wide_string.h"

namespace ksrn::fake {

enum class Step {
  Prepare,
  Open,
  SetTimeouts,
  Connect,
  OpenRequest,
  SetOption,
  Send,
  Receive,
  QueryStatus,
  QueryHeaders,
  QueryDataAvailable,
  ReadData,
  None,
};

// How far HttpSendRequest gets on the wire before it fails or blocks, as its trace shows it.
enum class Reach { Nothing, Resolved, Connected, Secured, Writing, Sent };

struct Exchange {
  uint32_t statusCode = 200;
  // Raw header text as the platform would return it; empty means "HTTP/1.1 <status> OK" plus
  // Content-Length and the closing blank line.
  std::optional<WideString> rawHeaders;
  std::vector<uint8_t> body;
  // Most bytes announced by one HttpQueryDataAvailable; 0 announces everything that is left.
  uint32_t announceBytes = 0;
  // HttpQueryDataAvailable reports this count once instead of the real one (body-limit tests).
  std::optional<uint32_t> announceOverride;
  // After data was announced, a read returns 0 bytes.
  bool readReturnsZero = false;
  // After the whole body, one more announcement of this many bytes, which read as 0: a decoded
  // body's coding trailer as WinHTTP reports it.
  uint32_t trailerBytes = 0;

  Step failAt = Step::None;
  int failOnCall = 1;  // which call of failAt fails (1 = the first)
  uint32_t failError = 0;

  // The blockOnCall-th call of blockAt waits until Release() or until its handle is closed
  // (HttpPrepareProcess and HttpOpen, having no handle, wait for Release() only; like failAt,
  // they follow the default exchange).
  Step blockAt = Step::None;
  int blockOnCall = 1;

  // HttpReceiveResponse first waits this long, like a slow server; closing the handle ends the
  // wait at once with 12017.
  std::chrono::microseconds delay{0};
  // Calls of this step throw std::runtime_error, like an internal fault.
  Step throwAt = Step::None;
  // What a send that fails or blocks has done on the wire by then; a send that succeeds reaches
  // Sent, and a response received stamps the first byte.
  Reach sendReach = Reach::Sent;
};

// The address the fake reports once connected.
inline constexpr const WideChar* kFakeRemoteAddress = KSRN_WIDE("192.0.2.1");

// What a request handle was given, for assertions on the request the transfer made.
struct SentRequest {
  WideString host;
  uint16_t port = 0;
  WideString method;
  WideString objectName;
  WideString headers;
  std::vector<uint8_t> body;
  std::vector<int> timeoutsMs;  // each HttpSetTimeouts connect value seen on its session, in order
  std::vector<int> resolveTimeoutsMs;  // and each resolve value
  std::vector<std::pair<uint32_t, uint32_t>> options;
};

// Forgets every handle, script and counter. Call only while no transfer runs.
void Reset();
// Answers requests whose object name equals path.
void Script(const WideString& path, Exchange exchange);
// Answers every request that has no script of its own.
void ScriptDefault(Exchange exchange);
// Makes HttpOpen fail with error on its next calls (0 stops it).
void FailOpen(uint32_t error);

// Releases every blocked operation (and those that will block later, when sticky).
void Release(bool sticky = false);
// Waits until at least count operations are blocked at once; false on time-out.
bool WaitForBlocked(int count, std::chrono::milliseconds timeout);

// A fresh session handle that no transfer uses, for record tests.
net::NetHandle NewHandle();
int CloseCount(net::NetHandle handle);
// Handles created and not yet closed.
int OpenHandleCount();
// Handles closed more than once.
int DoubleCloseCount();
// Requests opened so far (in order) and what they were given.
std::vector<SentRequest> SentRequests();
int CallCount(Step step);
// When each HttpOpen was called (the start of each transfer), in order.
std::vector<std::chrono::steady_clock::time_point> OpenTimes();

}  // namespace ksrn::fake
