// The HTTP operation set over WinHTTP: handles, exchange, head, settings and last error, each a
// blocking operation of the facade over an asynchronous WinHTTP handle (handle_context.h).
#include "net/http_ops.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "net/guarded_call.h"
#include "net/handle_registry.h"
#include "net/winhttp/connection_info.h"
#include "net/winhttp/handle_context.h"
#include "net/winhttp/head_path_probe.h"
#include "net/winhttp/header_text.h"
#include "net/winhttp/shared_sessions.h"
#include "net/winhttp/wine_accommodations.h"
#include "platform/ascii.h"
#include "platform/header_bytes.h"
#include "platform/never_destroyed.h"

namespace ksrn::net {
namespace {

using winhttp::AsyncCall;
using winhttp::Completion;
using winhttp::HandleContext;
using winhttp::HandleKind;
using winhttp::LastFailure;
using winhttp::SharedSessions;

using Registry = HandleRegistry<std::shared_ptr<HandleContext>>;

// The process's one registry of the facade's handles.
Registry& Handles() { return NeverDestroyed<Registry>(); }

// The process's shared sessions, and the keep-alive setting.
SharedSessions& Shared() { return NeverDestroyed<SharedSessions>(); }

// Runs op(context) with the open handle's context, which stays alive until op returns: 6 for
// an unknown or closed id, 12018 for a handle of another kind.
template <class Op>
uint32_t WithContext(NetHandle handle, HandleKind kind, Op op) {
  const std::optional<std::shared_ptr<HandleContext>> context = Handles().Find(handle);
  if (!context.has_value()) {
    return kErrorInvalidHandle;
  }
  if ((*context)->Kind() != kind) {
    return kErrorWinhttpIncorrectHandleType;
  }
  return op(**context);
}

// An operation on an open request, reported.
template <class Op>
bool RunOnRequest(NetHandle request, Op op) {
  return Report(Guarded([&] { return WithContext(request, HandleKind::Request, op); }));
}

// Creating the handles: session, connection, request.

// Hands a new WinHTTP handle to its context and the context to the registry.
uint32_t Publish(const std::shared_ptr<HandleContext>& context, HINTERNET created,
                 NetHandle& handle) {
  if (const uint32_t error = context->Adopt(created); error != kErrorSuccess) {
    return error;
  }
  try {
    handle = Handles().Register(context);
  } catch (const std::bad_alloc&) {
    context->Close();
    return kErrorNotEnoughMemory;
  }
  return kErrorSuccess;
}

// The policy Linux applies too: TLS 1.2 or later, HTTP/1.1. WinHTTP's default still enables
// TLS 1.0 and 1.1 and leaves out 1.3. A system that does not know the 1.3 bit refuses the whole
// value (87), and then gets 1.2 alone; one without the protocol option speaks HTTP/1.1 anyway.
uint32_t SetSessionPolicy(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
      return LastFailure();
    }
  }
  DWORD httpProtocols = 0;
  WinHttpSetOption(session, WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &httpProtocols,
                   sizeof httpProtocols);
  return kErrorSuccess;
}

// WINHTTP_OPTION_DISABLE_GLOBAL_POOLING, which not every winhttp.h defines.
constexpr DWORD kOptionDisableGlobalPooling = 195;

// Every transfer has a session of its own, yet by default WinHTTP pools connections across
// sessions ("legacy behavior that's supported by default for compatibility reasons"), so a
// request could go out on an idle connection of an earlier one, unseen. False where the system
// refuses to turn that off; its requests then refuse keep-alive (RefuseKeepAlive).
bool DisableGlobalPooling(HINTERNET session) {
  DWORD disable = TRUE;
  return WinHttpSetOption(session, kOptionDisableGlobalPooling, &disable, sizeof disable);
}

// With keep-alive off WinHTTP keeps no connection of the request for another. WinHTTP warns that
// NTLM and similar schemes need keep-alive; here only a proxy could ask for one (README).
uint32_t RefuseKeepAlive(HINTERNET request) {
  DWORD features = WINHTTP_DISABLE_KEEP_ALIVE;
  return WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features)
             ? kErrorSuccess
             : LastFailure();
}

// WINHTTP_OPTION_FAILED_CONNECTION_RETRIES, which not every winhttp.h defines: how often a
// request may be sent again when a kept connection turns out dead.
constexpr DWORD kOptionFailedConnectionRetries = 162;

// An asynchronous WinHTTP session with our status callback and protocol policy.
uint32_t CreateSession(const WideChar* userAgent, HINTERNET& session) {
  winhttp::PrimeCertificateChains();
  session = WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (session == nullptr) {
    return LastFailure();
  }
  // Installed before any child exists: connections and requests inherit it.
  if (WinHttpSetStatusCallback(session, winhttp::StatusCallback, winhttp::kNotifications, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK) {
    const uint32_t error = LastFailure();
    WinHttpCloseHandle(session);
    return error;
  }
  if (const uint32_t error = SetSessionPolicy(session); error != kErrorSuccess) {
    WinHttpCloseHandle(session);
    return error;
  }
  return kErrorSuccess;
}

// A host's shared session: its pool keeps the host's connections, at most
// kMaxIdleConnectionsPerHost, which the workers' count never exceeds. A system that refuses
// either option still shares: its kept connections then join WinHTTP's cross-session pool
// (README, Windows notes), and an older one has no per-server limit to set.
SharedSessions::Session OpenSharedSession(const WideChar* userAgent, uint32_t& error) {
  HINTERNET session = nullptr;
  error = CreateSession(userAgent, session);
  if (error != kErrorSuccess) {
    return nullptr;
  }
  DisableGlobalPooling(session);
  DWORD connections = kMaxIdleConnectionsPerHost;
  WinHttpSetOption(session, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
  return session;
}

// With connections kept the transfer's session is only a place for its time-outs: the shared
// session of its host is joined at the connect, when the host is known.
uint32_t OpenSession(const WideChar* userAgent, NetHandle& handle) {
  auto context = std::make_shared<HandleContext>(HandleKind::Session,
                                                 std::make_shared<winhttp::SessionTimeouts>());
  if (Shared().IdleMs() > 0) {
    context->sharedAgent.emplace(userAgent);
    handle = Handles().Register(context);
    return kErrorSuccess;
  }
  HINTERNET session = nullptr;
  if (const uint32_t error = CreateSession(userAgent, session); error != kErrorSuccess) {
    return error;
  }
  context->refusesKeepAlive = !DisableGlobalPooling(session);
  return Publish(context, session, handle);
}

uint32_t ConnectShared(HandleContext& parent, const WideChar* host, uint16_t port,
                       HandleContext& context, HINTERNET& created) {
  if (!parent.IsOpen()) {
    return kErrorWinhttpOperationCancelled;
  }
  const WideString& userAgent = *parent.sharedAgent;
  std::shared_ptr<SharedSessions::Use> use;
  const uint32_t error = Shared().Join(
      {userAgent, host, port},
      [&](uint32_t& openError) { return OpenSharedSession(userAgent.c_str(), openError); }, use);
  if (error != kErrorSuccess) {
    return error;
  }
  created = WinHttpConnect(use->Handle(), host, port, 0);
  if (created == nullptr) {
    return LastFailure();
  }
  context.ShareSession(std::move(use));
  return kErrorSuccess;
}

uint32_t Connect(NetHandle session, const WideChar* host, uint16_t port, NetHandle& handle) {
  return WithContext(session, HandleKind::Session, [&](HandleContext& parent) {
    auto context = std::make_shared<HandleContext>(HandleKind::Connection, parent.Timeouts());
    context->refusesKeepAlive = parent.refusesKeepAlive;
    HINTERNET created = nullptr;
    const uint32_t error = parent.sharedAgent.has_value()
                               ? ConnectShared(parent, host, port, *context, created)
                               : parent.WithHandle([&](HINTERNET sessionHandle) {
                                   created = WinHttpConnect(sessionHandle, host, port, 0);
                                   return created == nullptr ? LastFailure() : kErrorSuccess;
                                 });
    return error != kErrorSuccess ? error : Publish(context, created, handle);
  });
}

uint32_t OpenRequest(NetHandle connection, const WideChar* method, const WideChar* objectName,
                     NetHandle& handle) {
  return WithContext(connection, HandleKind::Connection, [&](HandleContext& parent) {
    auto context = std::make_shared<HandleContext>(HandleKind::Request, parent.Timeouts());
    context->body.isHead = EqualsAsciiLowercase(WideStringView(method), "head");
    context->refusesKeepAlive = parent.refusesKeepAlive;
    std::shared_ptr<SharedSessions::Use> use = parent.SharedSession();
    context->mayReuseConnection = use != nullptr || parent.refusesKeepAlive;
    context->ShareSession(std::move(use));
    HINTERNET created = nullptr;
    const uint32_t error = parent.WithHandle([&](HINTERNET connectionHandle) {
      // HTTP/1.1 (the default version), no Accept header, the object name sent as given: the
      // query has an escape flag of its own, without which a signed query could change.
      created = WinHttpOpenRequest(
          connectionHandle, method, objectName, nullptr, WINHTTP_NO_REFERER,
          WINHTTP_DEFAULT_ACCEPT_TYPES,
          WINHTTP_FLAG_SECURE | WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY);
      if (created == nullptr) {
        return LastFailure();
      }
      // Never written twice: no second send when a kept connection turns out dead. A system
      // without the option refuses it (README, Windows notes).
      DWORD retries = 0;
      WinHttpSetOption(created, kOptionFailedConnectionRetries, &retries, sizeof retries);
      return kErrorSuccess;
    });
    if (error != kErrorSuccess) {
      return error;
    }
    if (const uint32_t published = Publish(context, created, handle);
        published != kErrorSuccess || !context->refusesKeepAlive) {
      return published;
    }
    if (const uint32_t refused = context->WithHandle(RefuseKeepAlive); refused != kErrorSuccess) {
      Handles().Take(handle);
      context->Close();
      return refused;
    }
    return kErrorSuccess;
  });
}

// The exchange: each operation that waits on the network starts one asynchronous WinHTTP call
// and blocks until its completion arrives through the status callback (for a send, until its
// request has been written), or until a close.

uint32_t Succeed(const Completion&) { return kErrorSuccess; }

uint32_t SendRequest(HandleContext& context, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  context.sendStarted.store(true);
  const auto contextValue = reinterpret_cast<DWORD_PTR>(&context);
  // WinHttpSendRequest may also fail at once, with what it met on the wire so far.
  uint32_t sendFailure = kErrorSuccess;
  const uint32_t error = context.Await(
      AsyncCall::Send,
      [&](HINTERNET handle) {
        // Added, never replaced: a repeated name (any case) is a line of its own, which a block
        // given to the send itself would not keep. WinHTTP copies the lines at once.
        if (headers != nullptr && headersLength > 0 &&
            !WinHttpAddRequestHeaders(handle, headers, headersLength, WINHTTP_ADDREQ_FLAG_ADD)) {
          return FALSE;
        }
        // Without this, a server that asks for a certificate but does not require one fails
        // the send with 12044 (ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED).
        if (!WinHttpSetOption(handle, WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                              WINHTTP_NO_CLIENT_CERT_CONTEXT, 0)) {
          return FALSE;
        }
        // WinHTTP may still read the body after a close ended the wait: it reads the context's
        // copy, which lives until the handle is gone.
        const auto* bytes = static_cast<const uint8_t*>(body);
        context.sendBody.assign(bytes, bytes != nullptr ? bytes + bodyLength : bytes);
        const bool hasBody = !context.sendBody.empty();
        const auto size = static_cast<DWORD>(context.sendBody.size());
        const BOOL started = WinHttpSendRequest(
            handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
            hasBody ? context.sendBody.data() : WINHTTP_NO_REQUEST_DATA, size, size, contextValue);
        if (!started) {
          sendFailure = GetLastError();
        }
        return started;
      },
      Succeed);
  if (sendFailure != kErrorSuccess) {
    context.OnSendFailed(sendFailure);
  }
  return error;
}

uint32_t ReceiveResponse(HandleContext& context) {
  // The send may have returned with its completion still to come (EndsWhenRequestWritten);
  // WinHTTP takes no receive before it, and its failure is this operation's.
  uint32_t error = context.AwaitSendCompletion();
  if (error != kErrorSuccess) {
    return context.ReceiveFailure(error);
  }
  error = context.Await(
      AsyncCall::Receive, [](HINTERNET handle) { return WinHttpReceiveResponse(handle, nullptr); },
      Succeed);
  if (error != kErrorSuccess) {
    return context.ReceiveFailure(error);
  }
  return context.WithHandle([&](HINTERNET handle) {
    context.body.announcedBytes = winhttp::AnnouncedBodyBytes(handle, context.body.isHead);
    context.body.deliveredBytes = 0;
    // A status that cannot be read is HttpQueryStatusCode's failure to report.
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                        WINHTTP_NO_HEADER_INDEX);
    WideString peer;
    winhttp::QueryPeerAddress(handle, peer);
    // Whose 407 it is, the TLS session tells; no other status needs asking.
    const bool secured = status != 407 || winhttp::HasServerCertificate(handle);
    return context.AcceptHead(status, secured, peer);
  });
}

uint32_t QueryDataAvailable(HandleContext& context, uint32_t& available) {
  // In asynchronous mode the count arrives with the completion, never through the argument.
  return context.Await(
      AsyncCall::DataAvailable,
      [](HINTERNET handle) { return WinHttpQueryDataAvailable(handle, nullptr); },
      [&](const Completion& completion) {
        if (winhttp::EndsBeforeAnnouncedLength(context.body, completion.count)) {
          return kErrorWinhttpConnectionError;
        }
        available = completion.count;
        if (available == 0) {
          context.readToEnd.store(true);
        }
        return kErrorSuccess;
      });
}

uint32_t ReadData(HandleContext& context, void* buffer, uint32_t size, uint32_t& bytesRead) {
  return context.Await(
      AsyncCall::Read,
      [&](HINTERNET handle) {
        // WinHTTP writes into the context's buffer, never the caller's: a read that outlives
        // a close must not land in memory the caller has already released.
        if (context.readBuffer.size() < size) {
          context.readBuffer.resize(size);
        }
        return WinHttpReadData(handle, context.readBuffer.data(), size, nullptr);
      },
      [&](const Completion& completion) {
        if (size > 0 && winhttp::EndsBeforeAnnouncedLength(context.body, completion.count)) {
          return kErrorWinhttpConnectionError;
        }
        bytesRead = std::min(completion.count, size);
        if (bytesRead > 0) {
          std::memcpy(buffer, context.readBuffer.data(), bytesRead);
        }
        context.body.deliveredBytes += bytesRead;
        return kErrorSuccess;
      });
}

// Reading the received head. WinHTTP answers these from the headers it already holds, so they run
// synchronously even on an asynchronous handle.

uint32_t QueryStatusCode(HandleContext& context, uint32_t& statusCode) {
  return context.WithHandle([&](HINTERNET handle) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return LastFailure();
    }
    statusCode = value;
    return kErrorSuccess;
  });
}

// WINHTTP_QUERY_FLAG_WIRE_ENCODING, which not every winhttp.h defines.
constexpr DWORD kQueryFlagWireEncoding = 0x01000000;

// The head's bytes as received, where WinHTTP gives them for the raw query; false where it
// refuses the flag (FetchWidenedHead) or has no head, and the caller asks for its text.
bool FetchWireBytes(HINTERNET handle, std::string& bytes) {
  constexpr DWORD kLevel = WINHTTP_QUERY_RAW_HEADERS_CRLF | kQueryFlagWireEncoding;
  DWORD size = 0;
  if (WinHttpQueryHeaders(handle, kLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                          &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  const DWORD answer = GetLastError();
  winhttp::RecordWireEncodingAnswer(answer);
  if (answer != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  bytes.assign(size + 1, '\0');
  size = static_cast<DWORD>(bytes.size());
  if (!WinHttpQueryHeaders(handle, kLevel, WINHTTP_HEADER_NAME_BY_INDEX, bytes.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  bytes.resize(std::min<size_t>(size, bytes.size() - 1));
  while (!bytes.empty() && bytes.back() == '\0') {
    bytes.pop_back();
  }
  // A WinHTTP that ignored the flag wrote UTF-16, which does not begin so.
  return bytes.starts_with("HTTP/");
}

uint32_t QueryRawHeaders(HandleContext& context, void* buffer, uint32_t& bufferBytes) {
  std::string wire;
  bool haveWire = false;
  WideString widened;
  const uint32_t error = context.WithHandle([&](HINTERNET handle) {
    haveWire = winhttp::IsWireEncodingAvailable(handle) && FetchWireBytes(handle, wire);
    winhttp::RecordHeadPath(haveWire ? winhttp::HeadPath::Wire : winhttp::HeadPath::Widened);
    return (haveWire || winhttp::FetchWidenedHead(handle, widened)) ? kErrorSuccess : LastFailure();
  });
  if (error != kErrorSuccess) {
    return error;
  }
  if (winhttp::IsHeadCutShort(widened)) {
    return kErrorWinhttpInvalidServerResponse;
  }
  // The size protocol applies to the decoded text, which both calls compute alike.
  const WideString text =
      haveWire ? DecodeHeaderBytes(wire) : winhttp::DecodeHeaderText(widened, GetACP());
  const uint64_t neededBytes = (text.size() + 1) * sizeof(WideChar);
  if (buffer == nullptr || bufferBytes < neededBytes) {
    bufferBytes = static_cast<uint32_t>(std::min<uint64_t>(neededBytes, UINT32_MAX));
    return kErrorInsufficientBuffer;
  }
  std::memcpy(buffer, text.c_str(), neededBytes);
  bufferBytes = static_cast<uint32_t>(text.size() * sizeof(WideChar));
  return kErrorSuccess;
}

// Settings: session time-outs and request options.

uint32_t SetTimeouts(HandleContext& session, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) {
  // A shared session is no transfer's to set: its requests take the values below.
  const uint32_t error =
      session.sharedAgent.has_value()
          ? (session.IsOpen() ? kErrorSuccess : kErrorWinhttpOperationCancelled)
          : session.WithHandle([&](HINTERNET handle) {
              return WinHttpSetTimeouts(handle, resolveMs, connectMs, sendMs, receiveMs)
                         ? kErrorSuccess
                         : LastFailure();
            });
  if (error != kErrorSuccess) {
    return error;
  }
  // Requests already open under the session take these values before their next wait.
  winhttp::SessionTimeouts& timeouts = *session.Timeouts();
  MutexLock lock(timeouts.mutex);
  timeouts.resolveMs = resolveMs;
  timeouts.connectMs = connectMs;
  timeouts.sendMs = sendMs;
  timeouts.receiveMs = receiveMs;
  ++timeouts.generation;
  return kErrorSuccess;
}

bool IsSupportedOption(uint32_t option) {
  return option == kOptionDisableFeature || option == kOptionDecompression;
}

uint32_t SetOption(HandleContext& request, uint32_t option, uint32_t value) {
  return request.WithHandle([&](HINTERNET handle) {
    // Kept whatever else is disabled: not every WinHTTP adds the flags of a second setting.
    DWORD optionValue = option == kOptionDisableFeature && request.refusesKeepAlive
                            ? value | WINHTTP_DISABLE_KEEP_ALIVE
                            : value;
    return WinHttpSetOption(handle, option, &optionValue, sizeof optionValue) ? kErrorSuccess
                                                                              : LastFailure();
  });
}

}  // namespace

// The chain priming under Wine is this operation set's only one-off work.
bool HttpPrepareProcess(size_t /*concurrentTransfers*/) {
  return Report(Guarded([] {
    winhttp::PrimeCertificateChains();
    return kErrorSuccess;
  }));
}

// WinHTTP reads the system's proxy itself, per session.
void HttpReadProxySettings() {}

// No fork on Windows.
void HttpForkPrepare() {}
void HttpForkParent() {}
void HttpForkChild() {}

void HttpSetKeepAlive(int32_t idleMs) {
  Guarded([&] {
    Shared().SetIdleMs(idleMs);
    return kErrorSuccess;
  });
}

NetHandle HttpOpen(const WideChar* userAgent) {
  return ReportHandle([&](NetHandle& handle) { return OpenSession(userAgent, handle); });
}

NetHandle HttpConnect(NetHandle session, const WideChar* host, uint16_t port) {
  return ReportHandle([&](NetHandle& handle) { return Connect(session, host, port, handle); });
}

NetHandle HttpOpenRequest(NetHandle connection, const WideChar* method,
                          const WideChar* objectName) {
  return ReportHandle(
      [&](NetHandle& handle) { return OpenRequest(connection, method, objectName, handle); });
}

bool HttpCloseHandle(NetHandle handle) {
  return Report(Guarded([&] {
    const std::optional<std::shared_ptr<HandleContext>> context = Handles().Take(handle);
    return context.has_value() ? (*context)->Close() : kErrorInvalidHandle;
  }));
}

bool HttpSendRequest(NetHandle request, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  return RunOnRequest(request, [&](HandleContext& context) {
    return SendRequest(context, headers, headersLength, body, bodyLength);
  });
}

bool HttpTraceRequest(NetHandle request, std::shared_ptr<WireTrace> trace) {
  return RunOnRequest(request, [&](HandleContext& context) {
    context.SetTrace(std::move(trace));
    return kErrorSuccess;
  });
}

bool HttpReceiveResponse(NetHandle request) { return RunOnRequest(request, ReceiveResponse); }

bool HttpQueryDataAvailable(NetHandle request, uint32_t& available) {
  return RunOnRequest(
      request, [&](HandleContext& context) { return QueryDataAvailable(context, available); });
}

bool HttpReadData(NetHandle request, void* buffer, uint32_t size, uint32_t& bytesRead) {
  return RunOnRequest(
      request, [&](HandleContext& context) { return ReadData(context, buffer, size, bytesRead); });
}

bool HttpQueryStatusCode(NetHandle request, uint32_t& statusCode) {
  return RunOnRequest(request,
                      [&](HandleContext& context) { return QueryStatusCode(context, statusCode); });
}

bool HttpQueryRawHeaders(NetHandle request, void* buffer, uint32_t& bufferBytes) {
  return RunOnRequest(request, [&](HandleContext& context) {
    return QueryRawHeaders(context, buffer, bufferBytes);
  });
}

bool HttpSetTimeouts(NetHandle session, int resolveMs, int connectMs, int sendMs, int receiveMs) {
  return Report(Guarded([&] {
    return WithContext(session, HandleKind::Session, [&](HandleContext& context) {
      return SetTimeouts(context, resolveMs, connectMs, sendMs, receiveMs);
    });
  }));
}

bool HttpSetOption(NetHandle request, uint32_t option, uint32_t value) {
  if (!IsSupportedOption(option)) {
    return Report(kErrorInvalidParameter);
  }
  return RunOnRequest(request,
                      [&](HandleContext& context) { return SetOption(context, option, value); });
}

// The facade's last error is the thread's Win32 last error, the one WinHTTP itself sets.
uint32_t HttpLastError() { return GetLastError(); }

void HttpSetLastError(uint32_t error) { SetLastError(error); }

}  // namespace ksrn::net
