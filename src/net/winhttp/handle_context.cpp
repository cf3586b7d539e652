#include "net/winhttp/handle_context.h"

#include <utility>

#include "net/winhttp/op_result.h"

namespace ksrn::net::winhttp {

HandleContext::HandleContext(HandleKind kind, std::shared_ptr<SessionTimeouts> timeouts)
    : kind(kind), timeouts(std::move(timeouts)) {}

uint32_t HandleContext::Adopt(HINTERNET newHandle) {
  identity = newHandle;
  {
    std::lock_guard state(stateMutex);
    self = shared_from_this();
  }
  // From here every callback for this handle, HANDLE_CLOSING last, carries this context.
  auto value = reinterpret_cast<DWORD_PTR>(this);
  if (!WinHttpSetOption(newHandle, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof value)) {
    const uint32_t error = LastFailure();
    {
      std::lock_guard state(stateMutex);
      self.reset();
    }
    WinHttpCloseHandle(newHandle);
    return error;
  }
  std::lock_guard gate(gateMutex);
  handle = newHandle;
  return kErrorSuccess;
}

uint32_t HandleContext::BeginLocked(AsyncCall call) {
  if (handle == nullptr) {
    return kErrorWinhttpOperationCancelled;
  }
  if (const uint32_t error = ApplyTimeoutsLocked(); error != kErrorSuccess) {
    return error;
  }
  std::lock_guard state(stateMutex);
  if (closed) {
    return kErrorWinhttpOperationCancelled;
  }
  if (inFlight != AsyncCall::None) {
    return kErrorWinhttpIncorrectHandleState;
  }
  inFlight = call;
  done = false;
  requestSent = false;
  sendPending = false;
  result = Completion{};
  return kErrorSuccess;
}

void HandleContext::AbandonLocked() {
  std::lock_guard state(stateMutex);
  inFlight = AsyncCall::None;
}

uint32_t HandleContext::ApplyTimeoutsLocked() {
  if (kind != HandleKind::Request) {
    return kErrorSuccess;
  }
  int resolveMs, connectMs, sendMs, receiveMs;
  uint64_t generation;
  {
    std::lock_guard lock(timeouts->mutex);
    if (timeouts->generation == appliedGeneration) {
      return kErrorSuccess;
    }
    generation = timeouts->generation;
    resolveMs = timeouts->resolveMs;
    connectMs = timeouts->connectMs;
    sendMs = timeouts->sendMs;
    receiveMs = timeouts->receiveMs;
  }
  // The wait for the response head has a time-out of its own, which WinHttpSetTimeouts does
  // not set everywhere: it gets the receive time-out too (0 means none, as for the others).
  DWORD headWaitMs = receiveMs > 0 ? static_cast<DWORD>(receiveMs) : INFINITE;
  if (!WinHttpSetTimeouts(handle, resolveMs, connectMs, sendMs, receiveMs) ||
      !WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headWaitMs,
                        sizeof headWaitMs)) {
    return LastFailure();
  }
  appliedGeneration = generation;
  return kErrorSuccess;
}

uint32_t HandleContext::Close() {
  {
    std::lock_guard state(stateMutex);
    closed = true;
  }
  completed.notify_all();
  std::lock_guard gate(gateMutex);
  const uint32_t error = WinHttpCloseHandle(handle) ? kErrorSuccess : LastFailure();
  handle = nullptr;
  std::lock_guard state(stateMutex);
  // A call still in flight may yet write into the buffers; they then go with the context.
  if (inFlight == AsyncCall::None) {
    std::vector<uint8_t>().swap(readBuffer);
    std::vector<uint8_t>().swap(sendBody);
  }
  return error;
}

void HandleContext::Complete(AsyncCall call, uint32_t error, uint32_t count) {
  {
    std::lock_guard state(stateMutex);
    // A completion nobody waits for (a stray one, or one for a call that failed to start) is
    // dropped; AsyncCall::None stands for whichever call is in flight.
    if (inFlight == AsyncCall::None || (call != AsyncCall::None && call != inFlight)) {
      return;
    }
    inFlight = AsyncCall::None;
    done = true;
    result = Completion{error, count};
  }
  completed.notify_all();
}

uint32_t HandleContext::AwaitSendCompletion() {
  std::unique_lock state(stateMutex);
  completed.wait(state, [&] { return !sendPending || inFlight != AsyncCall::Send || closed; });
  if (closed) {
    return kErrorWinhttpOperationCancelled;
  }
  if (!sendPending) {
    return kErrorSuccess;
  }
  sendPending = false;
  return result.error;
}

void HandleContext::OnRequestSent() {
  {
    std::lock_guard state(stateMutex);
    if (inFlight != AsyncCall::Send) {
      return;
    }
    requestSent = true;
  }
  completed.notify_all();
}

void HandleContext::OnHandleClosing() {
  std::shared_ptr<HandleContext> last;
  {
    std::lock_guard state(stateMutex);
    last = std::move(self);
  }
  // The context may end here, after its lock was released.
}

}  // namespace ksrn::net::winhttp
