// A request's exchange: what libcurl's callbacks capture of the response, making and configuring
// the curl objects, and the blocking operations, which run the multi handle on the owner's thread
// until their condition holds, the exchange ends, a time-out runs out or another thread aborts.
#include "net/curl/request.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#include "net/curl/error_map.h"
#include "net/curl/proxy.h"
#include "net/curl/request_text.h"
#include "net/curl/shared_caches.h"
#include "net/http_ops.h"
#include "platform/ascii.h"
#include "platform/header_bytes.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

using Clock = std::chrono::steady_clock;

// Taken body bytes are dropped from the front once this many have gathered.
constexpr size_t kCompactAtBytes = 64 * 1024;

// The longest single poll. A poll ends early on socket activity, on libcurl's timers and on
// Abort's wake-up; the bound is only a safety net for an abort whose wake-up got lost.
constexpr int kLongestPollMs = 1000;

// The status of a status line ("HTTP/1.1 200 OK"), 0 when it has none.
uint32_t ParseStatus(std::string_view line) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() - space < 4) {
    return 0;
  }
  uint32_t status = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (!IsAsciiDigit(line[i])) {
      return 0;
    }
    status = status * 10 + static_cast<uint32_t>(line[i] - '0');
  }
  return status;
}

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

int CeilMilliseconds(Clock::duration duration) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  return static_cast<int>(ms < kLongestPollMs ? ms : kLongestPollMs);
}

}  // namespace

size_t ResponseCapture::OnHeader(char* data, size_t size, size_t count, void* capture) {
  return static_cast<ResponseCapture*>(capture)->AddHeadLine(std::string_view(data, size * count));
}

size_t ResponseCapture::OnBody(char* data, size_t size, size_t count, void* capture) {
  return static_cast<ResponseCapture*>(capture)->AddBody(std::string_view(data, size * count));
}

// Returning fewer bytes than given makes libcurl end the transfer (CURLE_WRITE_ERROR), which is
// how a callback stops it; stopReason then says why.
size_t ResponseCapture::AddHeadLine(std::string_view line) {
  if (headComplete) {
    return line.size();  // trailers of a chunked body are not part of the head
  }
  headBytesSeen += line.size();
  if (headBytesSeen > kHeadLimitBytes) {
    stopReason = kErrorWinhttpHeaderSizeOverflow;
    return 0;
  }
  try {
    if (line.substr(0, 5) == "HTTP/") {
      head.clear();
      statusCode = ParseStatus(line);
    }
    head.append(line);
    // A bare LF ends a line as CR LF does; the block a host reads has CR LF lines only.
    if (line.ends_with('\n') && !line.ends_with("\r\n")) {
      head.insert(head.size() - 1, 1, '\r');
    }
  } catch (const std::bad_alloc&) {
    stopReason = kErrorNotEnoughMemory;
    return 0;
  }
  // The blank line ends a head; a 1xx head is followed by the one that counts.
  if ((line == "\r\n" || line == "\n") && statusCode >= 200) {
    headComplete = true;
  }
  return line.size();
}

size_t ResponseCapture::AddBody(std::string_view bytes) {
  if (PendingBytes() >= kPauseAtBytes) {
    paused = true;
    return CURL_WRITEFUNC_PAUSE;  // libcurl keeps these bytes and offers them again on resume
  }
  try {
    pending.insert(pending.end(), bytes.begin(), bytes.end());
  } catch (const std::bad_alloc&) {
    stopReason = kErrorNotEnoughMemory;
    return 0;
  }
  return bytes.size();
}

size_t ResponseCapture::Take(void* buffer, size_t size) {
  const size_t count = std::min(size, PendingBytes());
  if (count == 0) {
    return 0;
  }
  std::memcpy(buffer, pending.data() + taken, count);
  taken += count;
  if (taken == pending.size()) {
    pending.clear();
    taken = 0;
  } else if (taken >= kCompactAtBytes) {
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(taken));
    taken = 0;
  }
  return count;
}

bool ResponseCapture::ShouldResume() {
  if (!paused || PendingBytes() >= kResumeBelowBytes) {
    return false;
  }
  paused = false;
  return true;
}

std::shared_ptr<Request> Request::Create(std::shared_ptr<const Connection> connection,
                                         std::string method, std::string target, uint32_t& error) {
  std::unique_ptr<CURLM, MultiReturn> multi(TakeMulti());
  std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
  if (multi == nullptr || easy == nullptr) {
    error = kErrorNotEnoughMemory;
    return nullptr;
  }
  return std::shared_ptr<Request>(new Request(std::move(connection), std::move(method),
                                              std::move(target), std::move(multi),
                                              std::move(easy)));
}

Request::Request(std::shared_ptr<const Connection> connection, std::string method,
                 std::string target, std::unique_ptr<CURLM, MultiReturn> multi,
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

// Only a poll in progress needs the wake-up: the owner raises polling before it last looks at
// the flag and polls, so either it sees the abort or this sees it polling. Requests closed after
// their exchange, the common case, cost no write.
void Request::Abort() noexcept {
  aborted.store(true);
  if (polling.load()) {
    curl_multi_wakeup(multi.get());
  }
}

// The first socket is made right after the name resolved.
int Request::OnSocketOpened(void* request, curl_socket_t /*socket*/, curlsocktype /*purpose*/) {
  auto* self = static_cast<Request*>(request);
  self->socketOpened = true;
  if (self->trace) {
    WireTrace::Stamp(self->trace->resolvedAt);
  }
  return CURL_SOCKOPT_OK;
}

// Connected and secured; libcurl writes the request as soon as this returns.
int Request::OnConnected(void* request, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/,
                         int /*localPort*/) {
  auto* self = static_cast<Request*>(request);
  self->connected = true;
  if (self->trace) {
    WireTrace::Stamp(self->trace->securedAt);
    self->Observe();
    self->trace->requestMayBeWritten.store(true);
  }
  return CURL_PREREQFUNC_OK;
}

// libcurl times the TCP connect from the transfer's start; counted from the resolved stamp by
// way of its own resolve timer, so both ends come from one clock. The address is libcurl's
// numeric text of the peer it connected to.
void Request::Observe() {
  WireTrace& wire = *trace;
  if (wire.connectedAt.load() == 0 && wire.resolvedAt.load() != 0) {
    curl_off_t resolvedUs = 0;
    curl_off_t connectedUs = 0;
    char* address = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_CONNECT_TIME_T, &connectedUs) == CURLE_OK &&
        connectedUs > 0 &&
        curl_easy_getinfo(easy.get(), CURLINFO_NAMELOOKUP_TIME_T, &resolvedUs) == CURLE_OK) {
      WireTrace::Stamp(wire.connectedAt,
                       wire.resolvedAt.load() + std::max<curl_off_t>(connectedUs - resolvedUs, 0) *
                                                    kNanosecondsPerMicrosecond);
      if (curl_easy_getinfo(easy.get(), CURLINFO_PRIMARY_IP, &address) == CURLE_OK &&
          address != nullptr) {
        WideChar text[WireTrace::kAddressUnits] = {};
        size_t length = 0;
        for (; address[length] != 0 && length + 1 < WireTrace::kAddressUnits; ++length) {
          text[length] = static_cast<unsigned char>(address[length]);
        }
        wire.SetRemoteAddress(WideStringView(text, length));
      }
    }
  }
  if (wire.requestMayBeWritten.load() && wire.sentAt.load() == 0) {
    long requestBytes = 0;
    curl_off_t bodySent = 0;
    if (curl_easy_getinfo(easy.get(), CURLINFO_REQUEST_SIZE, &requestBytes) == CURLE_OK &&
        requestBytes > 0 &&
        curl_easy_getinfo(easy.get(), CURLINFO_SIZE_UPLOAD_T, &bodySent) == CURLE_OK &&
        bodySent >= bodyBytes) {
      WireTrace::Stamp(wire.sentAt);
    }
  }
  if (wire.firstByteAt.load() == 0 && response.HeadBytesSeen() > 0) {
    WireTrace::Stamp(wire.firstByteAt);
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
  // Content-Length as WinHTTP writes it: always for POST and PUT, for other methods with a body.
  const bool hasBody = bodyLength > 0 || method == "POST" || method == "PUT";
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
  // The multi handle outlives the request: its connection must neither come from nor stay in
  // the handle's cache.
  set(CURLOPT_FRESH_CONNECT, 1L);
  set(CURLOPT_FORBID_REUSE, 1L);
  // The system's proxy, tunnelled with CONNECT: TLS stays end to end with the target, whose
  // certificate is checked as without one. Both values are set, also when empty, so that libcurl
  // reads no variable of its own choosing (all_proxy, for one). The tunnel's own answer is no
  // part of the response head.
  const ProxySettings proxy = ProxyFromEnvironment();
  set(CURLOPT_PROXY, proxy.url.c_str());
  set(CURLOPT_NOPROXY, proxy.bypass.c_str());
  set(CURLOPT_HTTPPROXYTUNNEL, 1L);
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
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

Request::Progress Request::Snapshot() const {
  Progress progress;
  progress.socketOpened = socketOpened;
  progress.connected = connected;
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
  if (!progress.connected) {
    return timeouts.connectMs.load();
  }
  if (progress.bytesSent < bodyBytes) {
    return timeouts.sendMs.load();
  }
  return timeouts.receiveMs.load();
}

void Request::CollectFinished() {
  int queued = 0;
  while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get()) {
      finished = true;
      finishResult = message->data.result;
    }
  }
}

uint32_t Request::FinishedCode() const {
  if (const uint32_t reason = response.StopReason(); reason != kErrorSuccess) {
    return reason;
  }
  // libcurl refuses a head line longer than its line buffer as if memory ran out; that can only
  // happen once connected, so a failure before then stays the shortage it is.
  if (finishResult == CURLE_OUT_OF_MEMORY && connected && !response.IsHeadComplete()) {
    return kErrorWinhttpHeaderSizeOverflow;
  }
  // A proxy that refused the tunnel, or asked for credentials (407), never let us reach the
  // server.
  long proxyStatus = 0;
  if (curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &proxyStatus) == CURLE_OK &&
      proxyStatus >= 300) {
    return kErrorWinhttpCannotConnect;
  }
  // A clean end before the awaited part of the response: nothing usable came back.
  return finishResult == CURLE_OK ? kErrorWinhttpInvalidServerResponse
                                  : Win32FromCurl(finishResult);
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
    int running = 0;
    if (const CURLMcode code = curl_multi_perform(multi.get(), &running); code != CURLM_OK) {
      return failure = Win32FromMulti(code);
    }
    CollectFinished();
    if (trace) {
      Observe();
    }
    if (ready() || finished) {
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
  if (const uint32_t error = Configure(headers, body, bodyLength); error != kErrorSuccess) {
    return failure = error;
  }
  if (const CURLMcode code = curl_multi_add_handle(multi.get(), easy.get()); code != CURLM_OK) {
    return failure = Win32FromMulti(code);
  }
  added = true;
  // A server may answer before it has read the whole body; the request then counts as sent.
  const uint32_t error = DriveUntil([&] {
    const Progress progress = Snapshot();
    return (progress.connected && progress.bytesSent >= bodyBytes) || response.IsHeadComplete();
  });
  if (error != kErrorSuccess) {
    return error;
  }
  if (finished && finishResult != CURLE_OK && !response.IsHeadComplete()) {
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
  if (response.PendingBytes() == 0 && finishResult != CURLE_OK) {
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
    if (const CURLcode code = curl_easy_pause(easy.get(), CURLPAUSE_CONT); code != CURLE_OK) {
      failure = Win32FromCurl(code);
    }
  }
  return kErrorSuccess;
}

}  // namespace ksrn::net::curl
