#include "fake_http_ops.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/win32_errors.h"

namespace ksrn::fake {
namespace {

enum class Kind { Session, Connection, Request };

constexpr size_t kStepCount = static_cast<size_t>(Step::None);

struct FakeHandle {
  Kind kind;
  FakeHandle* parent = nullptr;
  int closeCount = 0;
  std::array<int, kStepCount> calls{};
  // Session: time-outs seen. Connection: the server named. Request: the rest.
  std::vector<int> timeoutsMs;
  std::vector<int> resolveTimeoutsMs;
  WideString host;
  uint16_t port = 0;
  SentRequest sent;
  Exchange exchange;
  bool overrideUsed = false;
  bool trailerAnnounced = false;
  size_t readOffset = 0;
  uint32_t announced = 0;
  std::shared_ptr<net::WireTrace> trace;
};

struct State {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::unique_ptr<FakeHandle>> handles;
  std::vector<std::pair<WideString, Exchange>> scripts;
  Exchange defaultExchange;
  uint32_t openFailure = 0;
  std::array<int, kStepCount> callCounts{};
  int blocked = 0;
  uint64_t releaseGeneration = 0;
  int openCalls = 0;
  int prepareCalls = 0;
  bool stickyRelease = false;
  std::vector<std::chrono::steady_clock::time_point> openTimes;
};

// Never destroyed: worker threads of a leaked engine may still call in while the process exits.
State& Global() {
  static State* state = new State;
  return *state;
}

thread_local uint32_t tLastError = kErrorSuccess;

bool Fail(uint32_t error) {
  tLastError = error;
  return false;
}

bool IsAborted(const FakeHandle* handle) {
  for (; handle != nullptr; handle = handle->parent) {
    if (handle->closeCount > 0) {
      return true;
    }
  }
  return false;
}

FakeHandle* Live(net::NetHandle handle) {
  auto* fake = static_cast<FakeHandle*>(handle);
  if (fake == nullptr || fake->closeCount > 0) {
    tLastError = kErrorInvalidHandle;
    return nullptr;
  }
  return fake;
}

const Exchange& ExchangeFor(const State& state, const WideString& path) {
  for (const auto& [scriptPath, exchange] : state.scripts) {
    if (scriptPath == path) {
      return exchange;
    }
  }
  return state.defaultExchange;
}

// Counts the call on the handle and the whole fake; true when the exchange says it fails now.
bool ShouldFail(State& state, FakeHandle* counted, const Exchange& exchange, Step step) {
  const auto index = static_cast<size_t>(step);
  ++state.callCounts[index];
  const int call = counted != nullptr ? ++counted->calls[index] : state.callCounts[index];
  if (exchange.failAt == step && call == exchange.failOnCall) {
    tLastError = exchange.failError;
    return true;
  }
  return false;
}

// Waits until a release, or until handle (when there is one) or a parent of it is closed.
bool WaitForRelease(std::unique_lock<std::mutex>& lock, State& state, const FakeHandle* handle) {
  const uint64_t generation = state.releaseGeneration;
  ++state.blocked;
  state.cv.notify_all();
  state.cv.wait(lock, [&] {
    return state.stickyRelease || state.releaseGeneration != generation || IsAborted(handle);
  });
  --state.blocked;
  if (IsAborted(handle)) {
    return Fail(kErrorWinhttpOperationCancelled);
  }
  return true;
}

// Blocks the exchange's chosen call of its blockAt step.
bool PassBlock(std::unique_lock<std::mutex>& lock, State& state, FakeHandle* request, Step step) {
  const Exchange& exchange = request->exchange;
  if (exchange.blockAt != step ||
      request->calls[static_cast<size_t>(step)] + 1 != exchange.blockOnCall) {
    return true;
  }
  return WaitForRelease(lock, state, request);
}

FakeHandle* NewHandleLocked(State& state, Kind kind, FakeHandle* parent) {
  state.handles.push_back(std::make_unique<FakeHandle>());
  FakeHandle* handle = state.handles.back().get();
  handle->kind = kind;
  handle->parent = parent;
  return handle;
}

WideString DefaultHeaders(const Exchange& exchange) {
  std::string text = "HTTP/1.1 " + std::to_string(exchange.statusCode) +
                     " OK\r\nContent-Length: " + std::to_string(exchange.body.size()) + "\r\n\r\n";
  return WideString(text.begin(), text.end());
}

}  // namespace

void Reset() {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  state.handles.clear();
  state.scripts.clear();
  state.defaultExchange = Exchange{};
  state.openFailure = 0;
  state.openCalls = 0;
  state.prepareCalls = 0;
  state.openTimes.clear();
  state.callCounts = {};
  state.stickyRelease = false;
  ++state.releaseGeneration;
}

void Script(const WideString& path, Exchange exchange) {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  state.scripts.emplace_back(path, std::move(exchange));
}

void ScriptDefault(Exchange exchange) {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  state.defaultExchange = std::move(exchange);
}

void FailOpen(uint32_t error) {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  state.openFailure = error;
}

void Release(bool sticky) {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  ++state.releaseGeneration;
  state.stickyRelease = sticky;
  state.cv.notify_all();
}

bool WaitForBlocked(int count, std::chrono::milliseconds timeout) {
  State& state = Global();
  std::unique_lock lock(state.mutex);
  return state.cv.wait_for(lock, timeout, [&] { return state.blocked >= count; });
}

net::NetHandle NewHandle() {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  return NewHandleLocked(state, Kind::Session, nullptr);
}

int CloseCount(net::NetHandle handle) {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  return static_cast<FakeHandle*>(handle)->closeCount;
}

int OpenHandleCount() {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  return static_cast<int>(
      std::count_if(state.handles.begin(), state.handles.end(),
                    [](const auto& handle) { return handle->closeCount == 0; }));
}

int DoubleCloseCount() {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  return static_cast<int>(std::count_if(state.handles.begin(), state.handles.end(),
                                        [](const auto& handle) { return handle->closeCount > 1; }));
}

std::vector<SentRequest> SentRequests() {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  std::vector<SentRequest> sent;
  for (const auto& handle : state.handles) {
    if (handle->kind == Kind::Request) {
      SentRequest request = handle->sent;
      request.timeoutsMs = handle->parent->parent->timeoutsMs;
      request.resolveTimeoutsMs = handle->parent->parent->resolveTimeoutsMs;
      sent.push_back(std::move(request));
    }
  }
  return sent;
}

int CallCount(Step step) {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  return state.callCounts[static_cast<size_t>(step)];
}

std::vector<std::chrono::steady_clock::time_point> OpenTimes() {
  State& state = Global();
  std::lock_guard lock(state.mutex);
  return state.openTimes;
}

}  // namespace ksrn::fake

namespace ksrn::net {

using fake::Exchange;
using fake::FakeHandle;
using fake::Global;
using fake::Step;

bool HttpPrepareProcess(size_t /*concurrentTransfers*/) {
  auto& state = Global();
  std::unique_lock lock(state.mutex);
  if (state.defaultExchange.blockAt == Step::Prepare &&
      ++state.prepareCalls == state.defaultExchange.blockOnCall) {
    fake::WaitForRelease(lock, state, nullptr);
  }
  return !fake::ShouldFail(state, nullptr, state.defaultExchange, Step::Prepare);
}

// The fake keeps no connections and reads no proxy.
void HttpSetKeepAlive(int32_t /*idleMs*/) {}
void HttpReadProxySettings() {}

// The fake holds no process-wide state that a fork could break.
void HttpForkPrepare() {}
void HttpForkParent() {}
void HttpForkChild() {}

NetHandle HttpOpen(const WideChar* /*userAgent*/) {
  auto& state = Global();
  std::unique_lock lock(state.mutex);
  state.openTimes.push_back(std::chrono::steady_clock::now());
  if (state.defaultExchange.blockAt == Step::Open &&
      ++state.openCalls == state.defaultExchange.blockOnCall) {
    fake::WaitForRelease(lock, state, nullptr);
  }
  if (fake::ShouldFail(state, nullptr, state.defaultExchange, Step::Open)) {
    return nullptr;
  }
  if (state.openFailure != 0) {
    fake::tLastError = state.openFailure;
    return nullptr;
  }
  return fake::NewHandleLocked(state, fake::Kind::Session, nullptr);
}

bool HttpSetTimeouts(NetHandle session, int resolveMs, int connectMs, int, int) {
  auto& state = Global();
  std::lock_guard lock(state.mutex);
  FakeHandle* handle = fake::Live(session);
  if (handle == nullptr) {
    return false;
  }
  if (fake::ShouldFail(state, handle, state.defaultExchange, Step::SetTimeouts)) {
    return false;
  }
  handle->timeoutsMs.push_back(connectMs);
  handle->resolveTimeoutsMs.push_back(resolveMs);
  return true;
}

NetHandle HttpConnect(NetHandle session, const WideChar* host, uint16_t port) {
  auto& state = Global();
  std::lock_guard lock(state.mutex);
  FakeHandle* parent = fake::Live(session);
  if (parent == nullptr || fake::ShouldFail(state, parent, state.defaultExchange, Step::Connect)) {
    return nullptr;
  }
  FakeHandle* handle = fake::NewHandleLocked(state, fake::Kind::Connection, parent);
  handle->host = host;
  handle->port = port;
  return handle;
}

NetHandle HttpOpenRequest(NetHandle connection, const WideChar* method,
                          const WideChar* objectName) {
  auto& state = Global();
  std::lock_guard lock(state.mutex);
  FakeHandle* parent = fake::Live(connection);
  if (parent == nullptr) {
    return nullptr;
  }
  const Exchange& exchange = fake::ExchangeFor(state, objectName);
  if (fake::ShouldFail(state, nullptr, exchange, Step::OpenRequest)) {
    return nullptr;
  }
  FakeHandle* handle = fake::NewHandleLocked(state, fake::Kind::Request, parent);
  handle->exchange = exchange;
  handle->calls[static_cast<size_t>(Step::OpenRequest)] = 1;
  handle->sent.host = parent->host;
  handle->sent.port = parent->port;
  handle->sent.method = method;
  handle->sent.objectName = objectName;
  return handle;
}

namespace {

// The common prologue of the request operations: live handle, optional block, optional failure.
FakeHandle* Enter(std::unique_lock<std::mutex>& lock, NetHandle request, Step step) {
  auto& state = Global();
  FakeHandle* handle = fake::Live(request);
  if (handle != nullptr && handle->exchange.throwAt == step) {
    throw std::runtime_error("fake internal fault");
  }
  if (handle == nullptr || !fake::PassBlock(lock, state, handle, step) ||
      fake::ShouldFail(state, handle, handle->exchange, step)) {
    return nullptr;
  }
  return handle;
}

}  // namespace

bool HttpSetOption(NetHandle request, uint32_t option, uint32_t value) {
  std::unique_lock lock(Global().mutex);
  FakeHandle* handle = Enter(lock, request, Step::SetOption);
  if (handle == nullptr) {
    return false;
  }
  handle->sent.options.emplace_back(option, value);
  return true;
}

bool HttpTraceRequest(NetHandle request, std::shared_ptr<WireTrace> trace) {
  std::lock_guard lock(Global().mutex);
  FakeHandle* handle = fake::Live(request);
  if (handle == nullptr) {
    return false;
  }
  handle->trace = std::move(trace);
  return true;
}

namespace {

// Stamps the trace as a real send would, up to reach.
void StampSend(FakeHandle* handle, fake::Reach reach) {
  WireTrace* trace = handle->trace.get();
  if (trace == nullptr) {
    return;
  }
  using fake::Reach;
  if (reach >= Reach::Resolved) {
    WireTrace::Stamp(trace->resolvedAt);
  }
  if (reach >= Reach::Connected) {
    WireTrace::Stamp(trace->connectedAt);
    trace->SetRemoteAddress(fake::kFakeRemoteAddress);
  }
  if (reach >= Reach::Secured) {
    WireTrace::Stamp(trace->securedAt);
  }
  if (reach >= Reach::Writing) {
    trace->requestMayBeWritten.store(true);
  }
  if (reach >= Reach::Sent) {
    WireTrace::Stamp(trace->sentAt);
  }
}

}  // namespace

bool HttpSendRequest(NetHandle request, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  std::unique_lock lock(Global().mutex);
  if (FakeHandle* live = fake::Live(request); live != nullptr) {
    StampSend(live, std::min(live->exchange.sendReach, fake::Reach::Writing));
  }
  FakeHandle* handle = Enter(lock, request, Step::Send);
  if (handle == nullptr) {
    return false;
  }
  StampSend(handle, fake::Reach::Sent);
  if (headers != nullptr) {
    handle->sent.headers.assign(headers, headersLength);
  }
  if (body != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(body);
    handle->sent.body.assign(bytes, bytes + bodyLength);
  }
  return true;
}

bool HttpReceiveResponse(NetHandle request) {
  auto& state = Global();
  std::unique_lock lock(state.mutex);
  FakeHandle* handle = Enter(lock, request, Step::Receive);
  if (handle == nullptr) {
    return false;
  }
  if (handle->exchange.delay.count() > 0 &&
      state.cv.wait_for(lock, handle->exchange.delay, [&] { return fake::IsAborted(handle); })) {
    return fake::Fail(kErrorWinhttpOperationCancelled);
  }
  if (handle->trace) {
    WireTrace::Stamp(handle->trace->firstByteAt);
  }
  return true;
}

bool HttpQueryStatusCode(NetHandle request, uint32_t& statusCode) {
  std::unique_lock lock(Global().mutex);
  FakeHandle* handle = Enter(lock, request, Step::QueryStatus);
  if (handle == nullptr) {
    return false;
  }
  statusCode = handle->exchange.statusCode;
  return true;
}

bool HttpQueryRawHeaders(NetHandle request, void* buffer, uint32_t& bufferBytes) {
  std::unique_lock lock(Global().mutex);
  FakeHandle* handle = Enter(lock, request, Step::QueryHeaders);
  if (handle == nullptr) {
    return false;
  }
  const WideString text =
      handle->exchange.rawHeaders.value_or(fake::DefaultHeaders(handle->exchange));
  if (text.empty()) {
    bufferBytes = 0;
    return true;
  }
  const size_t needed = (text.size() + 1) * sizeof(WideChar);
  if (buffer == nullptr || bufferBytes < needed) {
    bufferBytes = static_cast<uint32_t>(needed);
    return fake::Fail(kErrorInsufficientBuffer);
  }
  std::memcpy(buffer, text.c_str(), needed);
  bufferBytes = static_cast<uint32_t>(text.size() * sizeof(WideChar));
  return true;
}

bool HttpQueryDataAvailable(NetHandle request, uint32_t& available) {
  std::unique_lock lock(Global().mutex);
  FakeHandle* handle = Enter(lock, request, Step::QueryDataAvailable);
  if (handle == nullptr) {
    return false;
  }
  const Exchange& exchange = handle->exchange;
  if (exchange.announceOverride && !handle->overrideUsed) {
    handle->overrideUsed = true;
    available = *exchange.announceOverride;
  } else {
    size_t left = exchange.body.size() - handle->readOffset;
    if (exchange.announceBytes != 0) {
      left = std::min<size_t>(left, exchange.announceBytes);
    }
    if (left == 0 && !handle->trailerAnnounced) {
      handle->trailerAnnounced = true;
      left = exchange.trailerBytes;
    }
    available = static_cast<uint32_t>(left);
  }
  handle->announced = available;
  return true;
}

bool HttpReadData(NetHandle request, void* buffer, uint32_t size, uint32_t& bytesRead) {
  std::unique_lock lock(Global().mutex);
  FakeHandle* handle = Enter(lock, request, Step::ReadData);
  if (handle == nullptr) {
    return false;
  }
  const Exchange& exchange = handle->exchange;
  if (exchange.readReturnsZero && handle->announced > 0) {
    bytesRead = 0;
    return true;
  }
  const size_t count = std::min<size_t>(size, exchange.body.size() - handle->readOffset);
  if (count > 0) {  // an empty body has no data pointer to copy from
    std::memcpy(buffer, exchange.body.data() + handle->readOffset, count);
  }
  handle->readOffset += count;
  bytesRead = static_cast<uint32_t>(count);
  return true;
}

bool HttpCloseHandle(NetHandle handle) {
  auto& state = Global();
  std::lock_guard lock(state.mutex);
  auto* fakeHandle = static_cast<FakeHandle*>(handle);
  if (fakeHandle == nullptr) {
    return fake::Fail(kErrorInvalidHandle);
  }
  ++fakeHandle->closeCount;
  state.cv.notify_all();
  return fakeHandle->closeCount == 1 || fake::Fail(kErrorInvalidHandle);
}

uint32_t HttpLastError() { return fake::tLastError; }

void HttpSetLastError(uint32_t error) { fake::tLastError = error; }

}  // namespace ksrn::net
