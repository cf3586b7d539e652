// The transfer: one request's exchange through the HTTP operation set, from session to body.
#include "engine/http_download.h"

#include <algorithm>
#include <vector>

#include "net/http_ops.h"
#include "platform/utf8.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// The raw header block may hold at most this many UTF-16 units plus its terminator.
constexpr uint32_t kMaxRawHeaderQueryBytes = (kMaxResponseHeaderBytes + 1) * sizeof(WideChar);

// Closes whatever handles are still installed when the transfer leaves, on every path.
class NetworkCleanup {
 public:
  explicit NetworkCleanup(HttpRequest& request) : request(request) {}
  ~NetworkCleanup() { request.CloseNetworkHandles(); }
  NetworkCleanup(const NetworkCleanup&) = delete;
  NetworkCleanup& operator=(const NetworkCleanup&) = delete;

 private:
  HttpRequest& request;
};

// Milliseconds left before the deadline, capped by the request's budget. Less than a whole
// millisecond counts as out of time.
uint32_t RemainingMilliseconds(HttpRequest& request) {
  const int64_t leftNs = request.deadline - SteadyNow();
  if (leftNs < kNanosecondsPerMillisecond) {
    request.timedOut.store(true);
    return 0;
  }
  return static_cast<uint32_t>(
      std::min<int64_t>(leftNs / kNanosecondsPerMillisecond, request.timeoutMs));
}

// The flags decide before the failing step's own code: a call that failed because a canceller
// closed its handle must report the cancel, not the error the closing caused. A step that fails
// once the deadline has passed ran out of time whatever its code: the platform's own time-outs,
// set to the time left, may end it before the watchdog looks, and Wine's WinHTTP reports one
// that ends a TLS handshake as ERROR_WINHTTP_SECURE_CHANNEL_ERROR.
// Such a request is marked out of time as the watchdog would mark it.
uint32_t OutcomeCode(HttpRequest& request, uint32_t fallback) {
  if (!request.timedOut.load() && SteadyNow() >= request.deadline) {
    request.timedOut.store(true);
  }
  if (request.timedOut.load()) {
    return kErrorWinhttpTimeout;
  }
  if (request.cancelled.load()) {
    return kErrorOperationAborted;
  }
  return fallback == kErrorSuccess ? kErrorGenFailure : fallback;
}

HttpResult Stopped(HttpResult& result, HttpRequest& request, uint32_t fallback) {
  result.error = OutcomeCode(request, fallback);
  result.bodyComplete = false;
  return std::move(result);
}

// Fetches the raw header block and stores it as UTF-8 without terminator. On failure the output
// is left empty and error holds the reason (223 for a block over the limit).
bool QueryRawHeaders(net::NetHandle handle, std::vector<uint8_t>& headers, uint32_t& error) {
  uint32_t reportedBytes = 0;
  net::HttpSetLastError(kErrorSuccess);
  if (net::HttpQueryRawHeaders(handle, nullptr, reportedBytes)) {
    headers.clear();
    error = kErrorSuccess;
    return true;
  }
  error = net::HttpLastError();
  if (error != kErrorInsufficientBuffer || reportedBytes < sizeof(WideChar) ||
      reportedBytes > kMaxRawHeaderQueryBytes) {
    if (error == kErrorInsufficientBuffer) {
      error = kErrorFileTooLarge;
    }
    return false;
  }
  // One spare unit so the text is terminated even if the platform filled every byte.
  std::vector<WideChar> text(reportedBytes / sizeof(WideChar) + 1, 0);
  uint32_t writtenBytes = reportedBytes & ~1u;
  if (!net::HttpQueryRawHeaders(handle, text.data(), writtenBytes)) {
    error = net::HttpLastError();
    return false;
  }
  size_t length = std::min<size_t>(writtenBytes / sizeof(WideChar), text.size() - 1);
  while (length > 0 && text[length - 1] == 0) {
    --length;
  }
  headers.clear();
  if (length == 0) {
    error = kErrorSuccess;
    return true;
  }
  const WideStringView view(text.data(), length);
  const size_t size = MeasureUtf8(view, error);
  if (size == 0) {
    return false;
  }
  if (size > kMaxResponseHeaderBytes) {
    error = kErrorFileTooLarge;
    return false;
  }
  headers.resize(size);
  if (EncodeUtf8(view, headers.data(), size, error) != size) {
    headers.clear();
    return false;
  }
  error = kErrorSuccess;
  return true;
}

// Reads the body until its end, the size limit, a failure or an abort. A read of 0 bytes after
// an announced count is the end when the next query says so: WinHTTP ends a response with a
// 0-byte read, and a decoded body's last announced bytes (its coding's trailer) decode to
// nothing. Announcing more after that is a fault (30).
HttpResult ReadBody(HttpRequest& request, net::NetHandle handle, HttpResult& result) {
  std::vector<uint8_t>& body = result.body;
  bool readNothing = false;
  for (;;) {
    if (request.timedOut.load()) {
      return Stopped(result, request, kErrorOperationAborted);
    }
    uint32_t available = 0;
    if (!net::HttpQueryDataAvailable(handle, available)) {
      return Stopped(result, request, net::HttpLastError());
    }
    if (available == 0) {
      if (request.IsAbortRequested()) {
        return Stopped(result, request, kErrorOperationAborted);
      }
      result.error = kErrorSuccess;
      result.bodyComplete = true;
      return std::move(result);
    }
    if (readNothing) {
      result.error = kErrorReadFault;
      result.bodyComplete = false;
      return std::move(result);
    }
    // The announced count decides, so a body that would outgrow the limit is never read past it.
    if (available > kMaxResponseBodyBytes - body.size()) {
      result.error = kErrorFileTooLarge;
      result.bodyComplete = false;
      return std::move(result);
    }
    const uint32_t chunk = std::min(available, kMaxReadBytes);
    const size_t before = body.size();
    body.resize(before + chunk);
    uint32_t bytesRead = 0;
    if (!net::HttpReadData(handle, body.data() + before, chunk, bytesRead)) {
      body.resize(before);
      return Stopped(result, request, net::HttpLastError());
    }
    body.resize(before + std::min(bytesRead, chunk));
    readNothing = bytesRead == 0;
    if (request.cancelled.load()) {
      return Stopped(result, request, kErrorOperationAborted);
    }
  }
}

}  // namespace

HttpResult HttpDownload(HttpRequest& request, const std::shared_ptr<net::WireTrace>& trace) {
  NetworkCleanup cleanup(request);
  HttpResult result;
  if (request.IsAbortRequested()) {
    return Stopped(result, request, kErrorOperationAborted);
  }
  const uint32_t firstBudgetMs = RemainingMilliseconds(request);
  if (firstBudgetMs == 0) {
    return Stopped(result, request, kErrorWinhttpTimeout);
  }

  net::NetHandle session = net::HttpOpen(net::kUserAgent);
  if (session == nullptr) {
    return Stopped(result, request, net::HttpLastError());
  }
  if (!request.InstallHandle(request.sessionHandle, session)) {
    return Stopped(result, request, kErrorOperationAborted);
  }
  const int first = static_cast<int>(firstBudgetMs);
  if (!net::HttpSetTimeouts(session, 0, first, first, first)) {
    return Stopped(result, request, net::HttpLastError());
  }
  net::NetHandle connection = net::HttpConnect(session, request.url.host.c_str(), request.url.port);
  if (connection == nullptr) {
    return Stopped(result, request, net::HttpLastError());
  }
  if (!request.InstallHandle(request.connectionHandle, connection)) {
    return Stopped(result, request, kErrorOperationAborted);
  }
  net::NetHandle handle =
      net::HttpOpenRequest(connection, request.method.c_str(), request.url.pathAndQuery.c_str());
  if (handle == nullptr) {
    return Stopped(result, request, net::HttpLastError());
  }
  if (!request.InstallHandle(request.requestHandle, handle)) {
    return Stopped(result, request, kErrorOperationAborted);
  }
  if (!net::HttpTraceRequest(handle, trace)) {
    return Stopped(result, request, net::HttpLastError());
  }
  if (!net::HttpSetOption(handle, net::kOptionDisableFeature, net::kDisableRedirects)) {
    return Stopped(result, request, net::HttpLastError());
  }
  // Some platforms refuse decompression; bodies then simply arrive as sent.
  net::HttpSetOption(handle, net::kOptionDecompression, net::kDecompressionGzipAndDeflate);

  // Queueing and connecting used part of the budget: the waits ahead get only what is left.
  const uint32_t secondBudgetMs = RemainingMilliseconds(request);
  if (secondBudgetMs == 0 || request.IsAbortRequested()) {
    return Stopped(result, request, kErrorWinhttpTimeout);
  }
  const int second = static_cast<int>(secondBudgetMs);
  net::HttpSetTimeouts(session, 0, second, second, second);

  const bool hasHeaders = !request.headers.empty();
  const bool hasBody = !request.body.empty();
  if (!net::HttpSendRequest(handle, hasHeaders ? request.headers.c_str() : nullptr,
                            hasHeaders ? static_cast<uint32_t>(request.headers.size()) : 0,
                            hasBody ? request.body.data() : nullptr,
                            static_cast<uint32_t>(request.body.size()))) {
    return Stopped(result, request, net::HttpLastError());
  }
  if (!net::HttpReceiveResponse(handle)) {
    return Stopped(result, request, net::HttpLastError());
  }
  trace->answered.store(true);
  uint32_t statusCode = 0;
  if (!net::HttpQueryStatusCode(handle, statusCode)) {
    return Stopped(result, request, net::HttpLastError());
  }

  result.statusCode = statusCode;
  uint32_t headerError = kErrorSuccess;
  if (!QueryRawHeaders(handle, result.headers, headerError)) {
    // A head the platform calls invalid was not a whole head after all, so its status is not
    // the server's answer either; one that is too large or not text was whole.
    if (headerError == kErrorWinhttpInvalidServerResponse) {
      trace->answered.store(false);
      result.statusCode = 0;
    }
    return Stopped(result, request, headerError);
  }
  if (request.cancelled.load()) {
    return Stopped(result, request, kErrorOperationAborted);
  }
  return ReadBody(request, handle, result);
}

}  // namespace ksrn
