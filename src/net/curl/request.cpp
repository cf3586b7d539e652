// A request's curl objects and its blocking operations, which run the multi handle on the owner's
// thread until their condition holds, the exchange ends, a time-out runs out or another thread
// aborts.
#include "net/curl/request.h"

#include <chrono>
#include <cstring>
#include <utility>

#include "net/curl/error_map.h"
#include "net/curl/fork_gate.h"
#include "net/curl/kept_connections.h"
#include "net/http_ops.h"
#include "platform/header_bytes.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

using Clock = std::chrono::steady_clock;

// The longest single poll. A poll ends early on socket activity, on libcurl's timers and on
// Abort's wake-up; the bound is only a safety net for an abort whose wake-up got lost.
constexpr int kLongestPollMs = 1000;

int CeilMilliseconds(Clock::duration duration) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  return static_cast<int>(ms < kLongestPollMs ? ms : kLongestPollMs);
}

}  // namespace

// The keep-alive setting is read here, when the transfer starts. A route names the origin and
// the proxy settings, so a kept connection is never lent to another host or through another
// proxy.
std::shared_ptr<Request> Request::Create(std::shared_ptr<const Connection> connection,
                                         std::string method, std::string target, uint32_t& error) {
  ProxySettings proxy = CurrentProxySettings();
  std::string route;
  std::unique_ptr<CURLM, MultiReturn> multi;
  if (KeepAliveMs() > 0) {
    route = connection->origin + '\n' + proxy.url + '\n' + proxy.bypass;
    const LibcurlStep step;  // an expired kept connection may be closed on the way
    multi.reset(TakeKept(route));
  }
  if (multi == nullptr && route.empty()) {
    multi.reset(TakeMulti());
  } else if (multi == nullptr) {
    // A handle of its own, so the pool of empty handles stays as it was while connections are
    // kept. One connection per handle: the one its request makes, or the one it is lent.
    multi.reset(MakeMulti());
    if (multi != nullptr) {
      curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, 1L);
    }
  }
  std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
  if (multi == nullptr || easy == nullptr) {
    error = kErrorNotEnoughMemory;
    return nullptr;
  }
  return std::shared_ptr<Request>(new Request(std::move(connection), std::move(method),
                                              std::move(target), std::move(proxy), std::move(route),
                                              std::move(multi), std::move(easy)));
}

Request::Request(std::shared_ptr<const Connection> connection, std::string method,
                 std::string target, ProxySettings proxy, std::string route,
                 std::unique_ptr<CURLM, MultiReturn> multi, std::unique_ptr<CURL, EasyCleanup> easy)
    : connection(std::move(connection)),
      method(std::move(method)),
      target(std::move(target)),
      proxy(std::move(proxy)),
      route(std::move(route)),
      stamper(easy.get(), response),  // the parameter: the member is not made yet
      multi(std::move(multi)),
      easy(std::move(easy)) {}

// A handle that ran a kept-connection request either keeps its connection for the route or is
// freed, closing whatever it holds; it never goes back to the pool of empty handles.
Request::~Request() {
  const LibcurlStep step;
  const bool reusable = !route.empty() && LeavesReusableConnection();
  if (added) {
    curl_multi_remove_handle(multi.get(), easy.get());
  }
  easy.reset();
  if (!route.empty()) {
    CURLM* handle = multi.release();
    if (reusable) {
      Keep(route, handle);
    } else {
      curl_multi_cleanup(handle);
    }
  }
  multi.reset();
}

bool Request::LeavesReusableConnection() const {
  curl_socket_t socket = CURL_SOCKET_BAD;
  return added && stage == Stage::Received && failure == kErrorSuccess && finished == CURLE_OK &&
         response.PendingBytes() == 0 &&
         curl_easy_getinfo(easy.get(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
         socket != CURL_SOCKET_BAD;
}

// Only a poll in progress needs the wake-up: the owner raises polling before it last looks at
// the flag and polls, so either it sees the abort or this sees it polling. Requests closed after
// their exchange, the common case, cost no write.
void Request::Abort() noexcept {
  aborted.store(true);
  if (polling.load()) {
    curl_multi_wakeup(multi.get());
  }
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
    // redirects, keeps no cookies and does no authentication; connections are kept only when
    // the library's own setting says so.
    return kErrorSuccess;
  }
  if (option == kOptionDecompression) {
    return EncodingsFor(value, acceptEncoding) ? kErrorSuccess : kErrorInvalidParameter;
  }
  return kErrorInvalidParameter;
}

Request::Progress Request::Snapshot() const {
  Progress progress;
  progress.socketOpened = stamper.IsSocketOpened();
  progress.secured = stamper.IsSecured();
  curl_easy_getinfo(easy.get(), CURLINFO_SIZE_UPLOAD_T, &progress.bytesSent);
  curl_off_t bodyReceived = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_SIZE_DOWNLOAD_T, &bodyReceived);
  progress.bytesReceived = bodyReceived + static_cast<curl_off_t>(response.HeadBytesSeen());
  return progress;
}

int Request::TimeoutMs(const Progress& progress) const {
  const SessionTimeouts& timeouts = connection->session->timeouts;
  if (!progress.socketOpened) {
    return timeouts.resolveMs.load();
  }
  if (!progress.secured) {
    return timeouts.connectMs.load();
  }
  if (progress.bytesSent < stamper.BodyBytes()) {
    return timeouts.sendMs.load();
  }
  return timeouts.receiveMs.load();
}

void Request::CollectFinished() {
  int queued = 0;
  while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get()) {
      finished = message->data.result;
    }
  }
}

uint32_t Request::FinishedCode() const {
  // The connection broke under a request that may not be written twice.
  if (stamper.RefusedResend()) {
    return kErrorWinhttpConnectionError;
  }
  long proxyStatus = 0;
  if (curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &proxyStatus) != CURLE_OK) {
    proxyStatus = 0;
  }
  return Win32FromEnd({finished.value_or(CURLE_OK), response.StopReason(), stamper.IsSecured(),
                       response.IsHeadComplete(), proxyStatus});
}

template <class Ready>
uint32_t Request::DriveUntil(Ready ready) {
  Progress seen = Snapshot();
  Clock::time_point progressAt = Clock::now();
  for (;;) {
    if (aborted.load()) {
      return kErrorWinhttpOperationCancelled;
    }
    if (failure != kErrorSuccess) {
      return failure;
    }
    {
      const LibcurlStep step;
      int running = 0;
      if (const CURLMcode code = curl_multi_perform(multi.get(), &running); code != CURLM_OK) {
        return failure = Win32FromMulti(code);
      }
      CollectFinished();
      stamper.Observe();
    }
    if (ready() || finished.has_value()) {
      return kErrorSuccess;
    }
    const Clock::time_point now = Clock::now();
    if (const Progress current = Snapshot(); !(current == seen)) {
      seen = current;
      progressAt = now;
    }
    int waitMs = kLongestPollMs;
    if (const int limitMs = TimeoutMs(seen); limitMs > 0) {
      const Clock::duration left = progressAt + std::chrono::milliseconds(limitMs) - now;
      if (left <= Clock::duration::zero()) {
        return failure = kErrorWinhttpTimeout;
      }
      waitMs = CeilMilliseconds(left);
    }
    polling.store(true);
    const CURLMcode code =
        aborted.load() ? CURLM_OK : curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr);
    polling.store(false);
    if (code != CURLM_OK) {
      return failure = Win32FromMulti(code);
    }
  }
}

uint32_t Request::Send(WideStringView headers, const void* body, size_t bodyLength) {
  if (const uint32_t error = Enter(Stage::Opened); error != kErrorSuccess) {
    return error;
  }
  stage = Stage::Sent;  // one attempt only, even when it fails
  stamper.SetBodyBytes(static_cast<curl_off_t>(bodyLength));
  stamper.SetWriteOnce(method != "GET" && method != "HEAD");
  const EasyRequest request{connection->origin,
                            method,
                            target,
                            connection->session->userAgent,
                            acceptEncoding,
                            headers,
                            body,
                            bodyLength,
                            proxy,
                            !route.empty()};
  if (const uint32_t error = SetUpEasy(easy.get(), request, response, stamper, headerList);
      error != kErrorSuccess) {
    return failure = error;
  }
  if (const CURLMcode code = curl_multi_add_handle(multi.get(), easy.get()); code != CURLM_OK) {
    return failure = Win32FromMulti(code);
  }
  added = true;
  // A server may answer before it has read the whole body; the request then counts as sent.
  const uint32_t error = DriveUntil([&] {
    const Progress progress = Snapshot();
    return (progress.secured && progress.bytesSent >= stamper.BodyBytes()) ||
           response.IsHeadComplete();
  });
  if (error != kErrorSuccess) {
    return error;
  }
  if (finished.value_or(CURLE_OK) != CURLE_OK && !response.IsHeadComplete()) {
    return failure = FinishedCode();
  }
  return kErrorSuccess;
}

uint32_t Request::Receive() {
  if (const uint32_t error = Enter(Stage::Sent); error != kErrorSuccess) {
    return error;
  }
  if (const uint32_t error = DriveUntil([&] { return response.IsHeadComplete(); });
      error != kErrorSuccess) {
    return error;
  }
  if (!response.IsHeadComplete()) {
    return failure = FinishedCode();
  }
  stage = Stage::Received;
  return kErrorSuccess;
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

uint32_t Request::AwaitBody() {
  if (response.PendingBytes() > 0) {
    return kErrorSuccess;
  }
  if (const uint32_t error = DriveUntil([&] { return response.PendingBytes() > 0; });
      error != kErrorSuccess) {
    return error;
  }
  // Bytes that arrived before a failure are handed out first; the failure comes after them.
  if (response.PendingBytes() == 0 && finished.value_or(CURLE_OK) != CURLE_OK) {
    return failure = FinishedCode();
  }
  return kErrorSuccess;
}

uint32_t Request::QueryDataAvailable(uint32_t& available) {
  if (const uint32_t error = Enter(Stage::Received); error != kErrorSuccess) {
    return error;
  }
  if (const uint32_t error = AwaitBody(); error != kErrorSuccess) {
    return error;
  }
  const size_t pending = response.PendingBytes();
  available = pending > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(pending);
  return kErrorSuccess;
}

uint32_t Request::Read(void* buffer, uint32_t size, uint32_t& bytesRead) {
  if (const uint32_t error = Enter(Stage::Received); error != kErrorSuccess) {
    return error;
  }
  if (const uint32_t error = AwaitBody(); error != kErrorSuccess) {
    return error;
  }
  bytesRead = static_cast<uint32_t>(response.Take(buffer, size));
  if (response.ShouldResume()) {
    // libcurl may hand over the bytes it held back right here, through the body callback. A
    // failure shows at the next wait; the bytes just read are the caller's.
    const LibcurlStep step;
    if (const CURLcode code = curl_easy_pause(easy.get(), CURLPAUSE_CONT); code != CURLE_OK) {
      failure = Win32FromCurl(code);
    }
  }
  return kErrorSuccess;
}

}  // namespace ksrn::net::curl
