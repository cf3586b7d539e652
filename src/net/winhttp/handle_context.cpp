#include "net/winhttp/handle_context.h"

#include <algorithm>
#include <utility>

#include "net/winhttp/connection_info.h"
#include "platform/ascii.h"
#include "platform/wide_string.h"

namespace ksrn::net::winhttp {
namespace {

bool HasHeader(HINTERNET request, DWORD level) {
  DWORD size = 0;
  return WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                             &size, WINHTTP_NO_HEADER_INDEX) ||
         GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

constexpr uint32_t kProxyAuthenticationRequired = 407;

}  // namespace

bool RequestMayBeWrittenAfter(uint32_t winHttpError) {
  switch (winHttpError) {
    case kErrorWinhttpNameNotResolved:
    case kErrorWinhttpCannotConnect:
    case kErrorWinhttpSecureChannelError:
    case kErrorWinhttpSecureFailure:
      return false;
    default:
      return !IsSecurityLayerFailure(winHttpError);
  }
}

std::optional<uint64_t> AnnouncedBodyBytes(HINTERNET request, bool isHead) {
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (isHead ||
      !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                           WINHTTP_NO_HEADER_INDEX) ||
      status < 200 || status == 204 || status == 304 ||
      HasHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING) ||
      HasHeader(request, WINHTTP_QUERY_CONTENT_ENCODING)) {
    return std::nullopt;
  }
  // Read as text: not every WinHTTP converts 64-bit numbers.
  WideChar text[24] = {};
  DWORD textSize = sizeof text - sizeof(WideChar);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &textSize, WINHTTP_NO_HEADER_INDEX) ||
      textSize == 0) {
    return std::nullopt;
  }
  uint64_t length = 0;
  for (size_t i = 0; i < textSize / sizeof(WideChar); ++i) {
    if (!IsAsciiDigit(text[i]) || length > (UINT64_MAX - 9) / 10) {
      return std::nullopt;
    }
    length = length * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  return length;
}

HandleContext::HandleContext(HandleKind kind, std::shared_ptr<SessionTimeouts> timeouts)
    : kind(kind), timeouts(std::move(timeouts)) {}

uint32_t HandleContext::Adopt(HINTERNET newHandle) {
  identity = newHandle;
  {
    MutexLock state(stateMutex);
    self = shared_from_this();
  }
  // From here every callback for this handle, HANDLE_CLOSING last, carries this context.
  auto value = reinterpret_cast<DWORD_PTR>(this);
  if (!WinHttpSetOption(newHandle, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof value)) {
    const uint32_t error = LastFailure();
    {
      MutexLock state(stateMutex);
      self.reset();
    }
    WinHttpCloseHandle(newHandle);
    return error;
  }
  MutexLock gate(gateMutex);
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
  MutexLock state(stateMutex);
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
  MutexLock state(stateMutex);
  inFlight = AsyncCall::None;
}

uint32_t HandleContext::ApplyTimeoutsLocked() {
  if (kind != HandleKind::Request) {
    return kErrorSuccess;
  }
  int resolveMs, connectMs, sendMs, receiveMs;
  uint64_t generation;
  {
    MutexLock lock(timeouts->mutex);
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
  std::shared_ptr<SharedSessions::Use> retiring;
  {
    MutexLock state(stateMutex);
    closed = true;
    if (trace) {
      if (inFlight == AsyncCall::Send) {
        trace->requestMayBeWritten.store(true);
      }
      if (connectedAddressLength > 0) {
        trace->SetRemoteAddress(WideStringView(connectedAddress.data(), connectedAddressLength));
      }
    }
    if (sendStarted.load() && (!readToEnd.load() || inFlight != AsyncCall::None)) {
      retiring = sharedUse;
    }
  }
  completed.NotifyAll();
  if (retiring) {
    retiring->Retire();
  }
  uint32_t error = kErrorSuccess;
  {
    MutexLock gate(gateMutex);
    // A session whose connections are shared has no handle of its own.
    if (handle != nullptr && !WinHttpCloseHandle(handle)) {
      error = LastFailure();
    }
    handle = nullptr;
  }
  std::shared_ptr<SharedSessions::Use> released;
  {
    MutexLock state(stateMutex);
    // A call still in flight may yet write into the buffers; they then go with the context.
    if (inFlight == AsyncCall::None) {
      std::vector<uint8_t>().swap(readBuffer);
      std::vector<uint8_t>().swap(sendBody);
    }
    released = std::move(sharedUse);
  }
  // The last share closes the shared session, after the handle made under it.
  released.reset();
  return error;
}

bool HandleContext::IsOpen() const {
  MutexLock state(stateMutex);
  return !closed;
}

void HandleContext::ShareSession(std::shared_ptr<SharedSessions::Use> use) {
  MutexLock state(stateMutex);
  sharedUse = std::move(use);
}

std::shared_ptr<SharedSessions::Use> HandleContext::SharedSession() const {
  MutexLock state(stateMutex);
  return sharedUse;
}

uint32_t HandleContext::ReceiveFailure(uint32_t error) const {
  MutexLock state(stateMutex);
  const bool keptWithoutAnswer =
      trace && trace->connectionReused.load() && trace->firstByteAt.load() == 0;
  return keptWithoutAnswer && error == kErrorWinhttpInvalidServerResponse
             ? kErrorWinhttpConnectionError
             : error;
}

void HandleContext::Complete(AsyncCall call, uint32_t error, uint32_t count) {
  {
    MutexLock state(stateMutex);
    // A completion nobody waits for (a stray one, or one for a call that failed to start) is
    // dropped; AsyncCall::None stands for whichever call is in flight.
    if (inFlight == AsyncCall::None || (call != AsyncCall::None && call != inFlight)) {
      return;
    }
    inFlight = AsyncCall::None;
    done = true;
    result = Completion{error, count};
  }
  completed.NotifyAll();
}

uint32_t HandleContext::AwaitSendCompletion() {
  MutexLock state(stateMutex);
  while (sendPending && inFlight == AsyncCall::Send && !closed) {
    completed.Wait(stateMutex);
  }
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
    MutexLock state(stateMutex);
    if (inFlight != AsyncCall::Send) {
      return;
    }
    requestSent = true;
  }
  completed.NotifyAll();
}

void HandleContext::SetTrace(std::shared_ptr<WireTrace> wireTrace) {
  MutexLock state(stateMutex);
  trace = std::move(wireTrace);
}

void HandleContext::OnSendFailed(uint32_t winHttpError) {
  MutexLock state(stateMutex);
  if (trace && RequestMayBeWrittenAfter(winHttpError)) {
    trace->requestMayBeWritten.store(true);
  }
}

void HandleContext::OnRequestError(DWORD_PTR call, DWORD winHttpError) {
  bool sending = call == API_SEND_REQUEST;
  {
    MutexLock state(stateMutex);
    sending = sending || inFlight == AsyncCall::Send;
  }
  if (sending) {
    OnSendFailed(winHttpError);
  }
  Complete(AsyncCall::None, WinHttpCode(winHttpError), 0);
}

uint32_t HandleContext::AcceptHead(uint32_t statusCode, bool secured, WideStringView peerAddress) {
  MutexLock state(stateMutex);
  if (!trace) {
    return kErrorSuccess;
  }
  if (!peerAddress.empty()) {
    trace->SetRemoteAddress(peerAddress);
  }
  if (statusCode != kProxyAuthenticationRequired || secured) {
    return kErrorSuccess;
  }
  // Nothing writes to these marks after the head, so withdrawing them races with no stamp.
  trace->requestMayBeWritten.store(false);
  trace->securedAt.store(0);
  trace->sentAt.store(0);
  trace->firstByteAt.store(0);
  return kErrorWinhttpCannotConnect;
}

// How the trace learns that the request may have been written: from "sending request" on, or
// "request sent", or a send that completed, or one that failed in a way that may come after its
// first byte (RequestMayBeWrittenAfter), or one closed before its end (Close). Any one is enough,
// so none of the deprecated notifications has to come.
//
// WinHTTP reports no end of the TLS handshake; it begins sending only after it, so that moment
// stands for it. Until then a new connection replaces an earlier one in the trace: WinHTTP may
// give up a connection (a TLS negotiation it retries) and make another. The first response bytes
// after the request went out are the first byte; a head that arrived without such a report
// counts from its arrival.
void HandleContext::OnProgress(DWORD status, const void* information, DWORD informationLength) {
  MutexLock state(stateMutex);
  if (!trace) {
    return;
  }
  WireTrace& wire = *trace;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
      WireTrace::Stamp(wire.resolvedAt);
      break;
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
      connected = true;
      wire.connectionReused.store(false);
      if (wire.securedAt.load() == 0 && !wire.requestMayBeWritten.load()) {
        wire.connectedAt.store(SteadyNow());
      } else {
        WireTrace::Stamp(wire.connectedAt);
      }
      if (information != nullptr) {
        const WideStringView address = TrimAddressText(static_cast<const WideChar*>(information));
        connectedAddressLength = std::min(address.size(), connectedAddress.size());
        std::copy_n(address.begin(), connectedAddressLength, connectedAddress.begin());
        if (closed) {
          wire.SetRemoteAddress(address);
        }
      }
      break;
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
      if (!NoteKeptConnectionLocked(wire)) {
        WireTrace::Stamp(wire.securedAt);
      }
      wire.requestMayBeWritten.store(true);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
      NoteKeptConnectionLocked(wire);
      WireTrace::Stamp(wire.sentAt);
      wire.requestMayBeWritten.store(true);
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      wire.requestMayBeWritten.store(true);
      break;
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
      // Also reported for a connection that ended with no byte: only a count above 0 is one.
      if (wire.sentAt.load() != 0 && information != nullptr && informationLength >= sizeof(DWORD) &&
          *static_cast<const DWORD*>(information) > 0) {
        WireTrace::Stamp(wire.firstByteAt);
      }
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      WireTrace::Stamp(wire.firstByteAt);
      break;
    default:
      break;
  }
}

bool HandleContext::NoteKeptConnectionLocked(WireTrace& wire) {
  if (!mayReuseConnection || connected) {
    return false;
  }
  wire.connectionReused.store(true);
  wire.resolvedAt.store(0);
  wire.connectedAt.store(0);
  wire.securedAt.store(0);
  return true;
}

void HandleContext::OnSendingRequest(HINTERNET request) {
  OnProgress(WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, nullptr, 0);
  {
    MutexLock state(stateMutex);
    if (!mayReuseConnection || connected) {
      return;
    }
  }
  WideString peer;
  if (!QueryPeerAddress(request, peer)) {
    return;
  }
  MutexLock state(stateMutex);
  if (!connected) {
    connectedAddressLength = std::min(peer.size(), connectedAddress.size());
    std::copy_n(peer.begin(), connectedAddressLength, connectedAddress.begin());
  }
}

void HandleContext::OnHandleClosing() {
  std::shared_ptr<HandleContext> last;
  {
    MutexLock state(stateMutex);
    last = std::move(self);
  }
  // The context may end here, after its lock was released.
}

void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                             DWORD informationLength) {
  auto* target = reinterpret_cast<HandleContext*>(context);
  // A child handle can report under its parent's context before it has its own; only the
  // handle a context adopted speaks for it.
  if (target == nullptr || !target->IsContextOf(handle)) {
    return;
  }
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
      target->OnProgress(status, information, informationLength);
      break;
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
      target->OnSendingRequest(handle);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
      target->OnProgress(status, information, informationLength);
      target->OnRequestSent();
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      target->OnProgress(status, information, informationLength);
      target->Complete(AsyncCall::Send, kErrorSuccess, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      target->OnProgress(status, information, informationLength);
      target->Complete(AsyncCall::Receive, kErrorSuccess, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      target->Complete(AsyncCall::DataAvailable, kErrorSuccess,
                       *static_cast<const DWORD*>(information));
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      target->Complete(AsyncCall::Read, kErrorSuccess, informationLength);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* failure = static_cast<const WINHTTP_ASYNC_RESULT*>(information);
      target->OnRequestError(failure->dwResult, failure->dwError);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      target->OnHandleClosing();
      break;
    default:
      break;
  }
}

}  // namespace ksrn::net::winhttp
