// Creating and closing the facade's handles: session, connection, request.
#include <memory>

#include "net/http_ops.h"
#include "net/winhttp/certificate_chains.h"
#include "net/winhttp/handle_context.h"
#include "net/winhttp/handle_registry.h"
#include "net/winhttp/op_result.h"
#include "net/winhttp/status_callback.h"

namespace ksrn::net {
namespace {

using winhttp::HandleContext;
using winhttp::HandleKind;

// Hands a new WinHTTP handle to its context and the context to the registry.
uint32_t Publish(const std::shared_ptr<HandleContext>& context, HINTERNET created,
                 NetHandle& handle) {
  if (const uint32_t error = context->Adopt(created); error != kErrorSuccess) {
    return error;
  }
  handle = winhttp::RegisterHandle(context);
  if (handle == nullptr) {
    context->Close();
    return kErrorNotEnoughMemory;
  }
  return kErrorSuccess;
}

uint32_t OpenSession(const WideChar* userAgent, NetHandle& handle) {
  auto context = std::make_shared<HandleContext>(HandleKind::Session,
                                                 std::make_shared<winhttp::SessionTimeouts>());
  winhttp::PrimeCertificateChains();
  HINTERNET session =
      WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                  WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (session == nullptr) {
    return winhttp::LastFailure();
  }
  // Installed before any child exists: connections and requests inherit it.
  if (WinHttpSetStatusCallback(session, winhttp::StatusCallback, winhttp::kNotifications, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK) {
    const uint32_t error = winhttp::LastFailure();
    WinHttpCloseHandle(session);
    return error;
  }
  return Publish(context, session, handle);
}

uint32_t Connect(NetHandle session, const WideChar* host, uint16_t port, NetHandle& handle) {
  uint32_t error = kErrorSuccess;
  const auto parent = winhttp::FindHandle(session, HandleKind::Session, error);
  if (parent == nullptr) {
    return error;
  }
  auto context = std::make_shared<HandleContext>(HandleKind::Connection, parent->Timeouts());
  HINTERNET created = nullptr;
  error = parent->WithHandle([&](HINTERNET sessionHandle) {
    created = WinHttpConnect(sessionHandle, host, port, 0);
    return created == nullptr ? winhttp::LastFailure() : kErrorSuccess;
  });
  return error != kErrorSuccess ? error : Publish(context, created, handle);
}

uint32_t OpenRequest(NetHandle connection, const WideChar* method, const WideChar* objectName,
                     NetHandle& handle) {
  uint32_t error = kErrorSuccess;
  const auto parent = winhttp::FindHandle(connection, HandleKind::Connection, error);
  if (parent == nullptr) {
    return error;
  }
  auto context = std::make_shared<HandleContext>(HandleKind::Request, parent->Timeouts());
  context->body.isHead = CompareStringOrdinal(method, -1, L"HEAD", -1, TRUE) == CSTR_EQUAL;
  HINTERNET created = nullptr;
  error = parent->WithHandle([&](HINTERNET connectionHandle) {
    // HTTP/1.1 (the default version), no Accept header, the object name sent as given.
    created = WinHttpOpenRequest(connectionHandle, method, objectName, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 WINHTTP_FLAG_SECURE | WINHTTP_FLAG_ESCAPE_DISABLE);
    return created == nullptr ? winhttp::LastFailure() : kErrorSuccess;
  });
  return error != kErrorSuccess ? error : Publish(context, created, handle);
}

}  // namespace

NetHandle HttpOpen(const WideChar* userAgent) {
  NetHandle handle = nullptr;
  const uint32_t error = Guarded([&] { return OpenSession(userAgent, handle); });
  return Report(error) ? handle : nullptr;
}

NetHandle HttpConnect(NetHandle session, const WideChar* host, uint16_t port) {
  NetHandle handle = nullptr;
  const uint32_t error = Guarded([&] { return Connect(session, host, port, handle); });
  return Report(error) ? handle : nullptr;
}

NetHandle HttpOpenRequest(NetHandle connection, const WideChar* method,
                          const WideChar* objectName) {
  NetHandle handle = nullptr;
  const uint32_t error =
      Guarded([&] { return OpenRequest(connection, method, objectName, handle); });
  return Report(error) ? handle : nullptr;
}

bool HttpCloseHandle(NetHandle handle) {
  const uint32_t error = Guarded([&] {
    const auto context = winhttp::TakeHandle(handle);
    return context == nullptr ? kErrorInvalidHandle : context->Close();
  });
  return Report(error);
}

}  // namespace ksrn::net
