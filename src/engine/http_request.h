// The record of one request and its outcome. A record is shared between the host thread that
// submitted it, the engine's table and queue, the worker that transfers it and any host call
// that looked it up; it is always held by std::shared_ptr and never copied or moved.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "net/http_ops.h"
#include "platform/mutex.h"
#include "platform/steady_clock.h"
#include "platform/wide_string.h"
#include "validate/url_validation.h"

namespace ksrn {

enum class RequestState : int32_t {
  Queued = 0,
  Running = 1,
  Completing = 2,
  Done = 3,
};

// How far a finished request got; the numbers are the public ones.
enum class Delivery : int32_t {
  NotSent = 0,   // no request byte can have reached a connection
  Unknown = 1,   // request bytes may have been written; no whole head came back
  Answered = 2,  // the final response head arrived
};

// The moments a request can pass, numbered as the exports number them.
enum class Mark : int32_t { Started = 1, Resolved, Connected, Secured, Sent, FirstByte, Done };
inline constexpr int32_t kMarkCount = 7;

// What a request did on the wire, published with its outcome.
struct WireReport {
  Delivery delivery = Delivery::NotSent;
  SteadyTime registeredAt = 0;                 // what the marks are counted from
  std::array<SteadyTime, kMarkCount> marks{};  // by mark number - 1; 0 when not reached
  std::array<WideChar, net::WireTrace::kAddressUnits> remoteAddress{};  // NUL-terminated
  bool connectionReused = false;  // written on a connection an earlier request had used

  SteadyTime& At(Mark mark) { return marks[static_cast<size_t>(mark) - 1]; }
  // Gathers what the trace saw: the delivery, the operation set's marks and the address.
  static WireReport FromTrace(const net::WireTrace& trace, SteadyTime startedAt);
  // Stamps Done and lifts any reached mark that an earlier one overtook (marks taken from
  // different clocks of the platform can disagree by a few microseconds), so that reached
  // marks never decrease in order.
  void Finish(SteadyTime registered, SteadyTime doneAt);
};

// The outcome of one request. Results are passed by value and moved; copying would duplicate
// megabytes of body, so it is not possible.
struct HttpResult {
  uint32_t statusCode = 0;
  uint32_t error = 0;
  bool bodyComplete = false;
  std::vector<uint8_t> body;
  std::vector<uint8_t> headers;
  WireReport wire;

  HttpResult() = default;
  HttpResult(const HttpResult&) = delete;
  HttpResult& operator=(const HttpResult&) = delete;
  HttpResult(HttpResult&& other) noexcept;
  // Releases the target's buffers and takes the source's; the source keeps its scalars.
  HttpResult& operator=(HttpResult&& other) noexcept;
  ~HttpResult() = default;

  // The engine's own result when no transfer produced one.
  static HttpResult Failure(uint32_t error);
};

struct HttpRequest {
  // Written before the record is queued and never changed afterwards.
  int32_t id = 0;
  ParsedUrl url;
  WideString method;
  WideString headers;
  std::vector<uint8_t> body;
  int32_t timeoutMs = 10000;
  SteadyTime registeredAt = 0;  // what the published marks are counted from
  SteadyTime deadline = 0;
  int hostIndex = -1;   // the host's place in the allowlist, for its budget
  uint64_t weight = 1;  // the units of its host's budget a start takes
  // The worker's own, from taking the record out of the queue to the end of its transfer: units
  // reserved for it, whether it was refused for want of units, and its flight in the budget
  // ledger while its request has not been written.
  bool unitsReserved = false;
  bool unitsRefused = false;
  int budgetFlight = -1;

  // Lock-free progress flags. All accesses are sequentially consistent: a canceller's flag store
  // must be visible before its state exchange and slot exchanges, and a transfer's slot install
  // before its re-read of the flags (see InstallHandle).
  std::atomic<RequestState> state{RequestState::Queued};
  std::atomic<bool> ready{false};
  std::atomic<bool> cancelled{false};
  std::atomic<bool> timedOut{false};

  Mutex resultMutex;
  HttpResult result GUARDED_BY(resultMutex);  // meaningful once ready
  uint64_t chargedBytes GUARDED_BY(resultMutex) = 0;

  // The transfer's network handles while installed; whoever exchanges one out closes it.
  std::atomic<net::NetHandle> sessionHandle{nullptr};
  std::atomic<net::NetHandle> connectionHandle{nullptr};
  std::atomic<net::NetHandle> requestHandle{nullptr};

  HttpRequest() = default;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Publishes a handle the transfer just created into one of the three slots. Returns true when
  // the transfer may use it; otherwise the handle has been closed (or was null).
  bool InstallHandle(std::atomic<net::NetHandle>& slot, net::NetHandle handle) noexcept;

  // Takes every installed handle out of its slot, innermost first, and closes it. Any thread,
  // any number of times: each handle is closed exactly once.
  void CloseNetworkHandles() noexcept;

  bool IsAbortRequested() const noexcept { return cancelled.load() || timedOut.load(); }
};

}  // namespace ksrn
