// The operation set over libcurl: the exported operations, the handles they hand out, libcurl's
// one-time set-up and the per-thread last error. A request's exchange is in request.cpp.
#include "net/http_ops.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "net/curl/error_map.h"
#include "net/curl/fork_gate.h"
#include "net/curl/kept_connections.h"
#include "net/curl/multi_pool.h"
#include "net/curl/proxy.h"
#include "net/curl/request.h"
#include "net/curl/request_text.h"
#include "net/curl/shared_caches.h"
#include "net/guarded_call.h"
#include "net/handle_registry.h"
#include "platform/mutex.h"
#include "platform/never_destroyed.h"
#include "platform/win32_errors.h"

namespace ksrn::net {
namespace {

using curl::Connection;
using curl::Request;
using curl::Session;

// Static TLS, reserved when the library loads: the default model for a dlopen'ed library
// allocates each thread's block lazily on first use, and the C library aborts the process when
// that allocation fails.
[[gnu::tls_model("initial-exec")]] thread_local uint32_t gLastError = kErrorSuccess;

// libcurl's process-wide set-up is made once before the first handle and never undone: a worker
// of a host that forgot to shut down may still use libcurl while the process exits. For the same
// reason OpenSSL is told, before anything else initialises it, not to clean up at exit: its
// exit handler frees the state a worker's handshake is still using, and the host crashes. A mutex
// and a flag rather than std::call_once, whose state lives in the C++ runtime's lazily allocated
// thread-locals; a failed init leaves the flag down, so the next call retries.
Mutex gCurlMutex;
bool gCurlReady GUARDED_BY(gCurlMutex) = false;

// 0 once libcurl is ready; otherwise the Win32 code of the failure.
uint32_t PrepareCurl() EXCLUDES(gCurlMutex) {
  // The gate before the lock, in the fork's order.
  const curl::LibcurlStep step;
  MutexLock lock(gCurlMutex);
  if (!gCurlReady) {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    if (const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
      return curl::Win32FromCurl(code);
    }
    gCurlReady = true;
  }
  return kErrorSuccess;
}

// The three kinds of handle.
using HandleObject =
    std::variant<std::shared_ptr<Session>, std::shared_ptr<Connection>, std::shared_ptr<Request>>;

HandleRegistry<HandleObject>& Handles() { return NeverDestroyed<HandleRegistry<HandleObject>>(); }

// The open handle's object of kind T, or null with error set: 6 for an unknown or closed id,
// 12018 for a handle of another kind.
template <class T>
std::shared_ptr<T> FindHandle(NetHandle handle, uint32_t& error) {
  std::optional<HandleObject> object = Handles().Find(handle);
  if (!object) {
    error = kErrorInvalidHandle;
    return nullptr;
  }
  if (auto* found = std::get_if<std::shared_ptr<T>>(&*object)) {
    return std::move(*found);
  }
  error = kErrorWinhttpIncorrectHandleType;
  return nullptr;
}

// Runs call(request) on the open request behind handle, holding a reference for the length of
// the call, so a close from another thread never frees it underneath, and reports the outcome
// through the thread's last error.
template <class Call>
bool OnRequest(NetHandle handle, Call call) {
  return Report(Guarded([&] {
    uint32_t error = kErrorSuccess;
    const auto request = FindHandle<Request>(handle, error);
    return request == nullptr ? error : call(*request);
  }));
}

// WinHTTP's meaning of the null arguments: no user agent, the GET verb, the root object.
WideStringView OrEmpty(const WideChar* text) { return text != nullptr ? text : WideStringView(); }

// WinHTTP's rule: -1 and 0 mean no limit, other negative values are refused.
bool IsTimeout(int ms) { return ms >= -1; }

uint32_t SetTimeouts(NetHandle sessionHandle, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) {
  uint32_t error = kErrorSuccess;
  const auto session = FindHandle<Session>(sessionHandle, error);
  if (session == nullptr) {
    return error;
  }
  if (!IsTimeout(resolveMs) || !IsTimeout(connectMs) || !IsTimeout(sendMs) ||
      !IsTimeout(receiveMs)) {
    return kErrorInvalidParameter;
  }
  curl::SessionTimeouts& timeouts = session->timeouts;
  timeouts.resolveMs.store(resolveMs);
  timeouts.connectMs.store(connectMs);
  timeouts.sendMs.store(sendMs);
  timeouts.receiveMs.store(receiveMs);
  return kErrorSuccess;
}

uint32_t Close(NetHandle handle) {
  auto object = Handles().Take(handle);
  if (!object) {
    return kErrorInvalidHandle;
  }
  if (auto* request = std::get_if<std::shared_ptr<Request>>(&*object)) {
    (*request)->Abort();
  }
  // The object goes now, or with the last operation still running on it.
  return kErrorSuccess;
}

}  // namespace

// libcurl's global set-up and the shared trust store: without them the first transfer would
// parse the whole CA bundle between its throttle slot and its handshake. The pool of idle multi
// handles is sized first, so that it holds even when the rest fails.
bool HttpPrepareProcess(size_t concurrentTransfers) {
  return Report(Guarded([&] {
    curl::SizeMultiPool(concurrentTransfers);
    if (const uint32_t error = PrepareCurl(); error != kErrorSuccess) {
      return error;
    }
    const curl::LibcurlStep step;
    return curl::PreloadTrustStore();
  }));
}

void HttpReadProxySettings() {
  Report(Guarded([] {
    curl::ReadProxySettings();
    return kErrorSuccess;
  }));
}

void HttpSetKeepAlive(int32_t idleMs) {
  Report(Guarded([&] {
    const curl::LibcurlStep step;  // closing idle connections speaks TLS
    curl::SetKeepAliveMs(idleMs);
    return kErrorSuccess;
  }));
}

// The gate first, since a step may wait for any of the locks after it; then the locks in one
// order, released in reverse. The child's transfers use new shares and new handles.
void HttpForkPrepare() NO_THREAD_SAFETY_ANALYSIS {
  curl::CloseForFork();
  gCurlMutex.lock();
  Handles().LockForFork();
  curl::LockProxySettings();
  curl::LockKeptForFork();
  curl::LockMultiPoolForFork();
  curl::LockCachesForFork();
}

namespace {

void UnlockAfterFork(bool inChild) NO_THREAD_SAFETY_ANALYSIS {
  curl::UnlockCachesForFork();
  curl::UnlockMultiPoolForFork();
  curl::UnlockKeptForFork();
  curl::UnlockProxySettings();
  Handles().UnlockForFork();
  gCurlMutex.unlock();
  curl::OpenAfterFork(inChild);
}

}  // namespace

void HttpForkParent() { UnlockAfterFork(false); }

void HttpForkChild() NO_THREAD_SAFETY_ANALYSIS {
  curl::ForgetSharesInChild();
  curl::ForgetMultisInChild();
  curl::ForgetKeptInChild();
  UnlockAfterFork(true);
}

NetHandle HttpOpen(const WideChar* userAgent) {
  return ReportHandle([&](NetHandle& handle) {
    if (const uint32_t error = PrepareCurl(); error != kErrorSuccess) {
      return error;
    }
    auto session = std::make_shared<Session>();
    if (const uint32_t error = curl::HeaderValueBytes(OrEmpty(userAgent), session->userAgent);
        error != kErrorSuccess) {
      return error;
    }
    handle = Handles().Register(std::move(session));
    return kErrorSuccess;
  });
}

bool HttpSetTimeouts(NetHandle session, int resolveMs, int connectMs, int sendMs, int receiveMs) {
  return Report(
      Guarded([&] { return SetTimeouts(session, resolveMs, connectMs, sendMs, receiveMs); }));
}

NetHandle HttpConnect(NetHandle sessionHandle, const WideChar* host, uint16_t port) {
  return ReportHandle([&](NetHandle& handle) {
    uint32_t error = kErrorSuccess;
    auto session = FindHandle<Session>(sessionHandle, error);
    if (session == nullptr) {
      return error;
    }
    auto connection = std::make_shared<Connection>();
    connection->session = std::move(session);
    constexpr uint16_t kDefaultHttpsPort = 443;  // INTERNET_DEFAULT_PORT (0) for HTTPS
    error =
        curl::ServerOrigin(OrEmpty(host), port != 0 ? port : kDefaultHttpsPort, connection->origin);
    if (error != kErrorSuccess) {
      return error;
    }
    handle = Handles().Register(std::move(connection));
    return kErrorSuccess;
  });
}

NetHandle HttpOpenRequest(NetHandle connectionHandle, const WideChar* method,
                          const WideChar* objectName) {
  return ReportHandle([&](NetHandle& handle) {
    uint32_t error = kErrorSuccess;
    auto connection = FindHandle<Connection>(connectionHandle, error);
    if (connection == nullptr) {
      return error;
    }
    std::string methodBytes = "GET";
    if (method != nullptr) {
      if (error = curl::MethodBytes(method, methodBytes); error != kErrorSuccess) {
        return error;
      }
    }
    std::string target = "/";
    if (objectName != nullptr) {
      if (error = curl::TargetBytes(objectName, target); error != kErrorSuccess) {
        return error;
      }
    }
    auto request =
        Request::Create(std::move(connection), std::move(methodBytes), std::move(target), error);
    if (request == nullptr) {
      return error;
    }
    handle = Handles().Register(std::move(request));
    return kErrorSuccess;
  });
}

bool HttpTraceRequest(NetHandle request, std::shared_ptr<WireTrace> trace) {
  return OnRequest(request, [&](Request& context) {
    context.SetTrace(std::move(trace));
    return kErrorSuccess;
  });
}

bool HttpSetOption(NetHandle request, uint32_t option, uint32_t value) {
  return OnRequest(request, [&](Request& context) { return context.SetOption(option, value); });
}

bool HttpSendRequest(NetHandle request, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  if ((headers == nullptr && headersLength != 0) || (body == nullptr && bodyLength != 0)) {
    return Report(kErrorInvalidParameter);
  }
  const WideStringView headerBlock =
      headers != nullptr ? WideStringView(headers, headersLength) : WideStringView();
  return OnRequest(request,
                   [&](Request& context) { return context.Send(headerBlock, body, bodyLength); });
}

bool HttpReceiveResponse(NetHandle request) {
  return OnRequest(request, [](Request& context) { return context.Receive(); });
}

bool HttpQueryStatusCode(NetHandle request, uint32_t& statusCode) {
  return OnRequest(request, [&](Request& context) { return context.QueryStatusCode(statusCode); });
}

bool HttpQueryRawHeaders(NetHandle request, void* buffer, uint32_t& bufferBytes) {
  return OnRequest(request,
                   [&](Request& context) { return context.QueryRawHeaders(buffer, bufferBytes); });
}

bool HttpQueryDataAvailable(NetHandle request, uint32_t& available) {
  return OnRequest(request,
                   [&](Request& context) { return context.QueryDataAvailable(available); });
}

bool HttpReadData(NetHandle request, void* buffer, uint32_t size, uint32_t& bytesRead) {
  if (buffer == nullptr && size != 0) {
    return Report(kErrorInvalidParameter);
  }
  return OnRequest(request,
                   [&](Request& context) { return context.Read(buffer, size, bytesRead); });
}

bool HttpCloseHandle(NetHandle handle) {
  return Report(Guarded([&] { return Close(handle); }));
}

uint32_t HttpLastError() { return gLastError; }

void HttpSetLastError(uint32_t error) { gLastError = error; }

}  // namespace ksrn::net
