// Driving a request's transfer: the blocking operations run libcurl's multi handle on the
// owner's thread until their condition holds, the exchange ends, a time-out runs out or another
// thread aborts the request.
#include <chrono>
#include <cstdint>

#include "net/curl/error_map.h"
#include "net/curl/request.h"
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
    if (message->msg == CURLMSG_DONE) {
      finished = true;
      finishResult = message->data.result;
    }
  }
}

uint32_t Request::FinishedCode() const {
  if (const uint32_t reason = response.StopReason(); reason != kErrorSuccess) {
    return reason;
  }
  // libcurl refuses a head line longer than its line buffer as if memory ran out.
  if (finishResult == CURLE_OUT_OF_MEMORY && !response.IsHeadComplete()) {
    return kErrorWinhttpHeaderSizeOverflow;
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
    // Returns early on socket activity, on libcurl's own timers and on Abort's wake-up.
    if (const CURLMcode code = curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr);
        code != CURLM_OK) {
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
