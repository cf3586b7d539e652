// One WinHTTP handle behind the blocking facade. WinHTTP runs in asynchronous mode, because only
// there is closing a handle from another thread a documented way to abort a call on it; each
// blocking operation starts a call and waits here for the completion that the status callback
// delivers. A close completes that wait itself, at once: not every WinHTTP aborts the call in
// progress, and the transfer must not wait for the call's own time-out.
//
// A send ends for its caller once WinHTTP reports the request written (REQUEST_SENT). Some
// WinHTTP builds (Wine's) complete an asynchronous send only when the response head has
// arrived; the receive therefore first waits for the send's own completion, so the wait for the
// head is the receive's on every WinHTTP, and WinHttpReceiveResponse still starts only after it.
//
// Lifetime: the registry holds a context from creation until its handle is closed; the context
// holds itself from adoption until WinHTTP reports WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, so a
// call still running inside WinHTTP never writes into freed memory; a waiter holds it while it
// waits.
//
// Lock order: gateMutex, then stateMutex. The status callback takes stateMutex only, so it may
// run inside any WinHTTP call made under the gate.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "net/winhttp/body_account.h"
#include "net/winhttp/op_result.h"
#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {

enum class HandleKind { Session, Connection, Request };

// The time-outs last set on a session. WinHTTP copies a session's time-outs into a request only
// when the request is created, so each request compares the generation before every wait and
// applies a newer setting to itself.
struct SessionTimeouts {
  std::mutex mutex;
  uint64_t generation = 0;  // guarded by mutex, as are the four values
  // WinHTTP's own defaults.
  int resolveMs = 0;
  int connectMs = 60'000;
  int sendMs = 30'000;
  int receiveMs = 30'000;
};

// The asynchronous calls an operation can wait for.
enum class AsyncCall { None, Send, Receive, DataAvailable, Read };

struct Completion {
  uint32_t error = kErrorSuccess;
  uint32_t count = 0;  // bytes available or bytes read
};

class HandleContext : public std::enable_shared_from_this<HandleContext> {
 public:
  HandleContext(HandleKind kind, std::shared_ptr<SessionTimeouts> timeouts);
  HandleContext(const HandleContext&) = delete;
  HandleContext& operator=(const HandleContext&) = delete;

  HandleKind Kind() const { return kind; }
  const std::shared_ptr<SessionTimeouts>& Timeouts() const { return timeouts; }

  // Takes ownership of a new WinHTTP handle and makes this context its callback context. On
  // failure the handle is closed and the Win32 code returned.
  uint32_t Adopt(HINTERNET newHandle);

  // Runs call(handle) under the gate while the handle is open; 12017 once it was closed.
  template <class Call>
  uint32_t WithHandle(Call call);

  // Starts an asynchronous call with start(handle) and waits until the callback completes it
  // or the handle is closed (12017); a send also ends when its request has been written. On
  // success the result is onDone(completion), which runs under the state lock, so it can copy
  // out of the context's buffers while no close can release them.
  template <class Start, class OnDone>
  uint32_t Await(AsyncCall call, Start start, OnDone onDone);

  // Waits until a send that ended when its request was written has completed inside WinHTTP
  // too, and returns its outcome (12017 once closed). Returns at once when there is none.
  uint32_t AwaitSendCompletion();

  // Ends any wait with 12017 and closes the WinHTTP handle. The registry calls it exactly once.
  uint32_t Close();

  // Entry points of the status callback.
  bool IsContextOf(HINTERNET candidate) const { return candidate == identity; }
  // Completes the call in flight; AsyncCall::None completes whichever it is (a request error).
  void Complete(AsyncCall call, uint32_t error, uint32_t count);
  void OnRequestSent();
  void OnHandleClosing();

  // Buffers handed to WinHTTP. They belong to the context, not to the caller, so a call that
  // outlives a close still writes into live memory. Touched by the owning thread under the gate
  // before a call starts; released by a close that finds no call in flight.
  std::vector<uint8_t> readBuffer;
  std::vector<uint8_t> sendBody;

  BodyAccount body;  // requests only

 private:
  // Under the gate: checks the handle, applies newer session time-outs, marks the call in
  // flight. AbandonLocked clears the mark of a call that did not start.
  uint32_t BeginLocked(AsyncCall call);
  void AbandonLocked();
  uint32_t ApplyTimeoutsLocked();

  const HandleKind kind;
  const std::shared_ptr<SessionTimeouts> timeouts;
  HINTERNET identity = nullptr;  // the adopted handle's value, compared only, never used

  std::mutex gateMutex;
  HINTERNET handle = nullptr;               // guarded by gateMutex; null once closed
  uint64_t appliedGeneration = UINT64_MAX;  // guarded by gateMutex; none applied yet

  std::mutex stateMutex;
  std::condition_variable completed;
  bool closed = false;                   // guarded by stateMutex
  AsyncCall inFlight = AsyncCall::None;  // guarded by stateMutex
  bool done = false;                     // guarded by stateMutex
  bool requestSent = false;              // guarded by stateMutex; the send in flight wrote it
  bool sendPending = false;              // guarded by stateMutex; its waiter left before the end
  Completion result;                     // guarded by stateMutex
  std::shared_ptr<HandleContext> self;   // guarded by stateMutex
};

template <class Call>
uint32_t HandleContext::WithHandle(Call call) {
  std::lock_guard gate(gateMutex);
  if (handle == nullptr) {
    return kErrorWinhttpOperationCancelled;
  }
  return call(handle);
}

template <class Start, class OnDone>
uint32_t HandleContext::Await(AsyncCall call, Start start, OnDone onDone) {
  {
    std::lock_guard gate(gateMutex);
    if (const uint32_t error = BeginLocked(call); error != kErrorSuccess) {
      return error;
    }
    bool started = false;
    try {
      started = start(handle);
    } catch (...) {
      AbandonLocked();
      throw;
    }
    if (!started) {
      const uint32_t error = LastFailure();
      AbandonLocked();
      return error;
    }
  }
  std::unique_lock state(stateMutex);
  const bool endsWhenSent = call == AsyncCall::Send;
  completed.wait(state, [&] { return done || closed || (endsWhenSent && requestSent); });
  if (closed) {
    return kErrorWinhttpOperationCancelled;
  }
  if (!done) {
    // Written but not yet completed: the call stays in flight, and the receive waits for it.
    sendPending = true;
    return onDone(Completion{});
  }
  return result.error == kErrorSuccess ? onDone(result) : result.error;
}

}  // namespace ksrn::net::winhttp
