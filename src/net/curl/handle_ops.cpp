// Creating and closing the operation set's handles: session, connection, request.
#include <memory>
#include <string>
#include <utility>

#include "net/curl/curl_global.h"
#include "net/curl/handle_registry.h"
#include "net/curl/request.h"
#include "net/curl/request_text.h"
#include "net/guarded_call.h"
#include "net/http_ops.h"

namespace ksrn::net {
namespace {

using curl::Connection;
using curl::Session;

// WinHTTP's meaning of the null arguments: no user agent, the GET verb, the root object.
WideStringView OrEmpty(const WideChar* text) { return text != nullptr ? text : WideStringView(); }

uint32_t OpenSession(const WideChar* userAgent, NetHandle& handle) {
  if (const uint32_t error = curl::PrepareCurl(); error != kErrorSuccess) {
    return error;
  }
  auto session = std::make_shared<Session>();
  if (const uint32_t error = curl::HeaderValueBytes(OrEmpty(userAgent), session->userAgent);
      error != kErrorSuccess) {
    return error;
  }
  handle = curl::RegisterHandle(std::move(session));
  return kErrorSuccess;
}

uint32_t Connect(NetHandle sessionHandle, const WideChar* host, uint16_t port, NetHandle& handle) {
  uint32_t error = kErrorSuccess;
  auto session = curl::FindHandle<Session>(sessionHandle, error);
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
  handle = curl::RegisterHandle(std::move(connection));
  return kErrorSuccess;
}

uint32_t OpenRequest(NetHandle connectionHandle, const WideChar* method, const WideChar* objectName,
                     NetHandle& handle) {
  uint32_t error = kErrorSuccess;
  auto connection = curl::FindHandle<Connection>(connectionHandle, error);
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
  auto request = curl::Request::Create(std::move(connection), std::move(methodBytes),
                                       std::move(target), error);
  if (request == nullptr) {
    return error;
  }
  handle = curl::RegisterHandle(std::move(request));
  return kErrorSuccess;
}

uint32_t Close(NetHandle handle) {
  auto object = curl::TakeHandle(handle);
  if (!object) {
    return kErrorInvalidHandle;
  }
  if (auto* request = std::get_if<std::shared_ptr<curl::Request>>(&*object)) {
    (*request)->Abort();
  }
  // The object goes now, or with the last operation still running on it.
  return kErrorSuccess;
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
  return Report(Guarded([&] { return Close(handle); }));
}

}  // namespace ksrn::net
