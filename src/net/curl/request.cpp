// Making, configuring and closing a request, and reading its received head.
#include "net/curl/request.h"

#include <cstring>
#include <utility>
#include <vector>

#include "net/curl/error_map.h"
#include "net/curl/request_text.h"
#include "net/curl/shared_caches.h"
#include "net/curl/trust_store.h"
#include "net/http_ops.h"
#include "platform/header_bytes.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

// The Accept-Encoding value for WinHTTP's decompression flags; false for unknown flags.
bool EncodingsFor(uint32_t flags, std::string& encodings) {
  constexpr uint32_t kGzip = 1;
  constexpr uint32_t kDeflate = 2;
  if ((flags & ~(kGzip | kDeflate)) != 0) {
    return false;
  }
  encodings.clear();
  if ((flags & kGzip) != 0) {
    encodings = "gzip";
  }
  if ((flags & kDeflate) != 0) {
    encodings += encodings.empty() ? "deflate" : ", deflate";
  }
  return true;
}

}  // namespace

std::shared_ptr<Request> Request::Create(std::shared_ptr<const Connection> connection,
                                         std::string method, std::string target, uint32_t& error) {
  std::unique_ptr<CURLM, MultiCleanup> multi(curl_multi_init());
  std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
  // A multi handle whose wake-up channel could not be made cannot be interrupted by a close;
  // the probe's wake-up only ends the first poll early.
  if (multi == nullptr || easy == nullptr || curl_multi_wakeup(multi.get()) != CURLM_OK) {
    error = kErrorNotEnoughMemory;
    return nullptr;
  }
  return std::shared_ptr<Request>(new Request(std::move(connection), std::move(method),
                                              std::move(target), std::move(multi),
                                              std::move(easy)));
}

Request::Request(std::shared_ptr<const Connection> connection, std::string method,
                 std::string target, std::unique_ptr<CURLM, MultiCleanup> multi,
                 std::unique_ptr<CURL, EasyCleanup> easy)
    : connection(std::move(connection)),
      method(std::move(method)),
      target(std::move(target)),
      multi(std::move(multi)),
      easy(std::move(easy)) {}

Request::~Request() {
  if (added) {
    curl_multi_remove_handle(multi.get(), easy.get());
  }
}

void Request::Abort() noexcept {
  aborted.store(true);
  curl_multi_wakeup(multi.get());
}

int Request::OnSocketOpened(void* request, curl_socket_t /*socket*/, curlsocktype /*purpose*/) {
  static_cast<Request*>(request)->socketOpened = true;
  return CURL_SOCKOPT_OK;
}

int Request::OnConnected(void* request, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/,
                         int /*localPort*/) {
  static_cast<Request*>(request)->connected = true;
  return CURL_PREREQFUNC_OK;
}

uint32_t Request::Enter(Stage needed) const {
  if (aborted.load()) {
    return kErrorWinhttpOperationCancelled;
  }
  return stage == needed ? kErrorSuccess : kErrorWinhttpIncorrectHandleState;
}

uint32_t Request::SetOption(uint32_t option, uint32_t value) {
  if (const uint32_t error = Enter(Stage::Opened); error != kErrorSuccess) {
    return error;
  }
  if (option == kOptionDisableFeature) {
    // Every feature WinHTTP can disable is off here already: libcurl is never asked to follow
    // redirects, keeps no cookies, does no authentication and reuses no connection.
    return kErrorSuccess;
  }
  if (option == kOptionDecompression) {
    return EncodingsFor(value, acceptEncoding) ? kErrorSuccess : kErrorInvalidParameter;
  }
  return kErrorInvalidParameter;
}

uint32_t Request::Configure(WideStringView headers, const void* body, size_t bodyLength) {
  const bool isHead = method == "HEAD";
  const bool hasBody = bodyLength > 0 || method == "POST";
  if (isHead && bodyLength > 0) {
    return kErrorInvalidParameter;
  }
  std::vector<std::string> lines;
  if (const uint32_t error = HeaderListLines(headers, hasBody, lines); error != kErrorSuccess) {
    return error;
  }
  for (const std::string& line : lines) {
    curl_slist* list = curl_slist_append(headerList.get(), line.c_str());
    if (list == nullptr) {
      return kErrorNotEnoughMemory;
    }
    if (headerList == nullptr) {
      headerList.reset(list);
    }
  }

  CURL* handle = easy.get();
  CURLcode code = CURLE_OK;
  const auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) {
      code = curl_easy_setopt(handle, option, value);
    }
  };
  // The path and query go out byte for byte as the request target: libcurl's URL parser never
  // sees them, so nothing is normalised or escaped.
  set(CURLOPT_URL, connection->origin.c_str());
  set(CURLOPT_REQUEST_TARGET, target.c_str());
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_NOSIGNAL, 1L);
  // No proxy, so that libcurl reads no proxy variables from the environment.
  set(CURLOPT_PROXY, "");
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // No bundle of libcurl's own to parse per connection: the shared store is installed instead.
  set(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  set(CURLOPT_SSL_CTX_FUNCTION, &PrepareTlsContext);
  if (CURLSH* share = SharedCaches(); share != nullptr) {
    set(CURLOPT_SHARE, share);
  }
  // A close during name resolution must not wait for the resolver thread.
  set(CURLOPT_QUICK_EXIT, 1L);
  set(CURLOPT_HEADERFUNCTION, &ResponseCapture::OnHeader);
  set(CURLOPT_HEADERDATA, &response);
  set(CURLOPT_WRITEFUNCTION, &ResponseCapture::OnBody);
  set(CURLOPT_WRITEDATA, &response);
  set(CURLOPT_SOCKOPTFUNCTION, &OnSocketOpened);
  set(CURLOPT_SOCKOPTDATA, this);
  set(CURLOPT_PREREQFUNCTION, &OnConnected);
  set(CURLOPT_PREREQDATA, this);
  set(CURLOPT_HTTPHEADER, headerList.get());
  if (!connection->session->userAgent.empty()) {
    set(CURLOPT_USERAGENT, connection->session->userAgent.c_str());
  }
  if (!acceptEncoding.empty()) {
    set(CURLOPT_ACCEPT_ENCODING, acceptEncoding.c_str());
  }
  if (isHead) {
    set(CURLOPT_NOBODY, 1L);
  } else if (hasBody) {
    // Content-Length is sent even for an empty body; the bytes are copied, so the caller's
    // buffer is free once the call returns.
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    set(CURLOPT_COPYPOSTFIELDS, bodyLength > 0 ? static_cast<const char*>(body) : "");
    if (method != "POST") {
      set(CURLOPT_CUSTOMREQUEST, method.c_str());
    }
  } else if (method != "GET") {
    set(CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  bodyBytes = static_cast<curl_off_t>(bodyLength);
  return Win32FromCurl(code);
}

uint32_t Request::QueryStatusCode(uint32_t& statusCode) const {
  if (const uint32_t error = Enter(Stage::Received); error != kErrorSuccess) {
    return error;
  }
  statusCode = response.StatusCode();
  return kErrorSuccess;
}

uint32_t Request::QueryRawHeaders(void* buffer, uint32_t& bufferBytes) {
  if (const uint32_t error = Enter(Stage::Received); error != kErrorSuccess) {
    return error;
  }
  if (headText.empty()) {
    headText = DecodeHeaderBytes(response.Head());
  }
  // The head is at most ResponseCapture::kHeadLimitBytes, so its size fits.
  const auto neededBytes = static_cast<uint32_t>((headText.size() + 1) * sizeof(WideChar));
  if (buffer == nullptr || bufferBytes < neededBytes) {
    bufferBytes = neededBytes;
    return kErrorInsufficientBuffer;
  }
  std::memcpy(buffer, headText.c_str(), neededBytes);
  bufferBytes = neededBytes - sizeof(WideChar);
  return kErrorSuccess;
}

}  // namespace ksrn::net::curl
