// One WinHTTP handle behind the blocking facade. WinHTTP runs in asynchronous mode, because only
// there is closing a handle from another thread a documented way to abort a call on it; each
// blocking operation starts a call and waits here for the completion that the status callback
// delivers. A close completes that wait itself, at once: not every WinHTTP aborts the call in
// progress, and the transfer must not wait for the call's own time-out.
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

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "net/guarded_call.h"
#include "net/http_ops.h"
#include "net/winhttp/error_map.h"
#include "net/winhttp/handle_types.h"
#include "net/winhttp/shared_sessions.h"
#include "net/winhttp/wine_accommodations.h"
#include "platform/mutex.h"
#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {

// WinHTTP's codes pass through (every operation runs through Guarded and ends with Report,
// net/guarded_call.h), with three corrections: a failure never reads as success, socket codes
// become the WinHTTP codes Windows reports for the same event, and unlisted codes become listed
// ones (error_map.h).
inline uint32_t WinHttpCode(uint32_t error) {
  return error == kErrorSuccess ? kErrorWinhttpInternalError
                                : ListedWinHttpCode(WinHttpCodeOfSocketError(error));
}

// The code of the WinHTTP call that just failed.
inline uint32_t LastFailure() { return WinHttpCode(GetLastError()); }

// Whether a send that failed with this WinHTTP code (as WinHTTP gave it) may have written its
// request. Only a name that did not resolve, a connection that was not made and a failed TLS
// handshake or certificate check come before the request's first byte; anything else, a time-out
// or a failed authentication included, may come after it.
bool RequestMayBeWrittenAfter(uint32_t winHttpError);

enum class HandleKind { Session, Connection, Request };

// The time-outs last set on a session. WinHTTP copies a session's time-outs into a request only
// when the request is created, so each request compares the generation before every wait and
// applies a newer setting to itself.
struct SessionTimeouts {
  Mutex mutex;
  uint64_t generation GUARDED_BY(mutex) = 0;
  // WinHTTP's own defaults.
  int resolveMs GUARDED_BY(mutex) = 0;
  int connectMs GUARDED_BY(mutex) = 60'000;
  int sendMs GUARDED_BY(mutex) = 30'000;
  int receiveMs GUARDED_BY(mutex) = 30'000;
};

// The body length the received head announces, when the bytes read must add up to it: not for
// HEAD, bodiless statuses, transfer codings or content codings (decoding changes the count).
std::optional<uint64_t> AnnouncedBodyBytes(HINTERNET request, bool isHead);

class HandleContext : public std::enable_shared_from_this<HandleContext> {
 public:
  HandleContext(HandleKind kind, std::shared_ptr<SessionTimeouts> timeouts);
  HandleContext(const HandleContext&) = delete;
  HandleContext& operator=(const HandleContext&) = delete;

  HandleKind Kind() const { return kind; }
  const std::shared_ptr<SessionTimeouts>& Timeouts() const { return timeouts; }

  // Takes ownership of a new WinHTTP handle and makes this context its callback context. On
  // failure the handle is closed and the Win32 code returned.
  uint32_t Adopt(HINTERNET newHandle) EXCLUDES(gateMutex, stateMutex);

  // Runs call(handle) under the gate while the handle is open; 12017 once it was closed.
  template <class Call>
  uint32_t WithHandle(Call call) EXCLUDES(gateMutex);

  // Starts an asynchronous call with start(handle) and waits until the callback completes it
  // or the handle is closed (12017); a send also ends when its request has been written
  // (EndsWhenRequestWritten). On success the result is onDone(completion), which runs under the
  // state lock, so it can copy out of the context's buffers while no close can release them.
  template <class Start, class OnDone>
  uint32_t Await(AsyncCall call, Start start, OnDone onDone) EXCLUDES(gateMutex, stateMutex);

  // Waits until a send that ended when its request was written has completed inside WinHTTP
  // too, and returns its outcome (12017 once closed). Returns at once when there is none.
  uint32_t AwaitSendCompletion() EXCLUDES(stateMutex);

  // Ends any wait with 12017 and closes the WinHTTP handle. The registry calls it exactly once.
  // A send closed before WinHTTP reported its own end may still write afterwards (not every
  // WinHTTP stops a call when its handle closes), so its request counts as possibly written.
  // A request that connected but kept no address from its head keeps its last connection's.
  // A request that was sent and did not end cleanly (its body read to the end, no call left in
  // flight) retires its shared session; the share is given back once the handle is closed.
  uint32_t Close() EXCLUDES(gateMutex, stateMutex);

  // False once closed.
  bool IsOpen() const EXCLUDES(stateMutex);

  // Connections and requests under a shared session: their share of it (null otherwise). Set
  // before the handle is published.
  void ShareSession(std::shared_ptr<SharedSessions::Use> use) EXCLUDES(stateMutex);
  std::shared_ptr<SharedSessions::Use> SharedSession() const EXCLUDES(stateMutex);

  // A receive that failed with this code: a kept connection that ends before any byte of the
  // answer broke (12030), as Windows reports it; Wine reports such an end as an empty answer
  // (12152), which from a kept connection is no answer of the server's.
  uint32_t ReceiveFailure(uint32_t error) const EXCLUDES(stateMutex);

  // Requests only: the trace the notifications below are stamped into from now on.
  void SetTrace(std::shared_ptr<WireTrace> wireTrace) EXCLUDES(stateMutex);

  // WinHttpSendRequest itself failed with this WinHTTP code, or its call completed so
  // (WINHTTP_CALLBACK_STATUS_REQUEST_ERROR): see RequestMayBeWrittenAfter.
  void OnSendFailed(uint32_t winHttpError) EXCLUDES(stateMutex);

  // The final head arrived, with statusCode, over a TLS session with the server or not
  // (secured), on a connection whose peer WinHTTP gives as peerAddress (empty when it does not).
  // A 407 without such a session is a proxy's answer to its CONNECT: the tunnel never opened, so
  // the request never went out, and what the notifications stamped from "sending" on was the
  // CONNECT's; the head is then no answer of the server and this returns 12029, as Linux does.
  uint32_t AcceptHead(uint32_t statusCode, bool secured, WideStringView peerAddress)
      EXCLUDES(stateMutex);

  // Entry points of the status callback.
  bool IsContextOf(HINTERNET candidate) const { return candidate == identity; }
  // Completes the call in flight; AsyncCall::None completes whichever it is.
  void Complete(AsyncCall call, uint32_t error, uint32_t count) EXCLUDES(stateMutex);
  // WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: the failed call (WINHTTP_ASYNC_RESULT) completes
  // with the error; a send's failure first counts as OnSendFailed's.
  void OnRequestError(DWORD_PTR call, DWORD winHttpError) EXCLUDES(stateMutex);
  void OnRequestSent() EXCLUDES(stateMutex);
  // A progress notification for the trace: name resolved, connected (with the peer's address),
  // sending, request sent, send completed, response bytes received (information: their count),
  // head available.
  void OnProgress(DWORD status, const void* information, DWORD informationLength)
      EXCLUDES(stateMutex);
  // "Sending request" on request: a kept connection had no "connected" notification to name
  // its peer, so WinHTTP is asked for it.
  void OnSendingRequest(HINTERNET request) EXCLUDES(stateMutex);
  void OnHandleClosing() EXCLUDES(stateMutex);

  // Buffers handed to WinHTTP. They belong to the context, not to the caller, so a call that
  // outlives a close still writes into live memory. Touched by the owning thread under the gate
  // before a call starts; released by a close that finds no call in flight.
  std::vector<uint8_t> readBuffer;
  std::vector<uint8_t> sendBody;

  BodyAccount body;  // requests only
  // The session could not turn WinHTTP's cross-session pool off, so its requests refuse
  // keep-alive instead. Set when the handle is made, before any other thread sees it.
  bool refusesKeepAlive = false;
  // Sessions only, set when connections are kept: the session has no WinHTTP handle of its own;
  // its connections open under their host's shared session for this user agent.
  std::optional<WideString> sharedAgent;
  // Requests only, set when the handle is made: the request may go out on a connection an
  // earlier request left open (a shared session's, or one of WinHTTP's cross-session pool),
  // which it does when no connection is made for it.
  bool mayReuseConnection = false;
  // Requests only, set by the thread that runs the request: its send started; its body was
  // read to the end.
  std::atomic<bool> sendStarted{false};
  std::atomic<bool> readToEnd{false};

 private:
  // Under the gate: checks the handle, applies newer session time-outs, marks the call in
  // flight. AbandonLocked clears the mark of a call that did not start.
  uint32_t BeginLocked(AsyncCall call) REQUIRES(gateMutex) EXCLUDES(stateMutex);
  void AbandonLocked() REQUIRES(gateMutex) EXCLUDES(stateMutex);
  uint32_t ApplyTimeoutsLocked() REQUIRES(gateMutex);
  // At "sending request": with no connection made for it, the request went out on a kept one,
  // whose resolve, connect and handshake were an earlier request's. True then.
  bool NoteKeptConnectionLocked(WireTrace& wire) REQUIRES(stateMutex);

  const HandleKind kind;
  const std::shared_ptr<SessionTimeouts> timeouts;
  HINTERNET identity = nullptr;  // the adopted handle's value, compared only, never used

  Mutex gateMutex;
  HINTERNET handle GUARDED_BY(gateMutex) = nullptr;               // null once closed
  uint64_t appliedGeneration GUARDED_BY(gateMutex) = UINT64_MAX;  // none applied yet

  mutable Mutex stateMutex ACQUIRED_AFTER(gateMutex);
  CondVar completed;
  bool closed GUARDED_BY(stateMutex) = false;
  AsyncCall inFlight GUARDED_BY(stateMutex) = AsyncCall::None;
  bool done GUARDED_BY(stateMutex) = false;
  bool requestSent GUARDED_BY(stateMutex) = false;  // the send in flight wrote its request
  bool sendPending GUARDED_BY(stateMutex) = false;  // its waiter left before the end
  Completion result GUARDED_BY(stateMutex);
  std::shared_ptr<WireTrace> trace GUARDED_BY(stateMutex);
  // The address of the last connection made, as WinHTTP reported it, trimmed; kept for the trace
  // until the head names the connection that carried it (AcceptHead) or the handle closes.
  std::array<WideChar, WireTrace::kAddressUnits> connectedAddress GUARDED_BY(stateMutex) = {};
  size_t connectedAddressLength GUARDED_BY(stateMutex) = 0;
  bool connected GUARDED_BY(stateMutex) = false;  // a connection was made for this request
  std::shared_ptr<SharedSessions::Use> sharedUse GUARDED_BY(stateMutex);
  std::shared_ptr<HandleContext> self GUARDED_BY(stateMutex);
};

// The notifications the status callback needs: every completion, the stages of the exchange
// for the trace (resolve, connect, send, receive), and the closing of a handle. Windows marks
// every one from "resolving name" to "response received" deprecated, so the trace never rests
// on one of them arriving (RequestMayBeWrittenAfter).
inline constexpr DWORD kNotifications =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_RESOLVE_NAME |
    WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
    WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE | WINHTTP_CALLBACK_FLAG_HANDLES;

// The one WinHTTP status callback of the facade, installed on every session: it turns the
// completions of asynchronous calls into the end of the matching wait.
void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                             DWORD informationLength);

template <class Call>
uint32_t HandleContext::WithHandle(Call call) {
  MutexLock gate(gateMutex);
  if (handle == nullptr) {
    return kErrorWinhttpOperationCancelled;
  }
  return call(handle);
}

template <class Start, class OnDone>
uint32_t HandleContext::Await(AsyncCall call, Start start, OnDone onDone) {
  {
    MutexLock gate(gateMutex);
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
  MutexLock state(stateMutex);
  const bool endsWhenWritten = EndsWhenRequestWritten(call);
  while (!done && !closed && !(endsWhenWritten && requestSent)) {
    completed.Wait(stateMutex);
  }
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
