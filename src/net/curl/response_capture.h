// What libcurl's header and body callbacks keep of a response, on the owner's thread: the raw
// head of the final response (interim 1xx heads are dropped) and the body bytes the reader has
// not taken yet. The body is held in bounded memory: once kPauseAtBytes are waiting, the
// transfer is paused until the reader has taken most of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ksrn::net::curl {

class ResponseCapture {
 public:
  // A head larger than this (all heads of the exchange together) ends the transfer with
  // ERROR_WINHTTP_HEADER_SIZE_OVERFLOW, before libcurl's own, vaguer, limit of 300 KiB.
  static constexpr size_t kHeadLimitBytes = 256 * 1024;
  static constexpr size_t kPauseAtBytes = 256 * 1024;
  static constexpr size_t kResumeBelowBytes = kPauseAtBytes / 2;

  ResponseCapture() = default;
  ResponseCapture(const ResponseCapture&) = delete;
  ResponseCapture& operator=(const ResponseCapture&) = delete;

  // CURLOPT_HEADERFUNCTION and CURLOPT_WRITEFUNCTION, with the capture as their data.
  static size_t OnHeader(char* data, size_t size, size_t count, void* capture);
  static size_t OnBody(char* data, size_t size, size_t count, void* capture);

  bool IsHeadComplete() const { return headComplete; }
  uint32_t StatusCode() const { return statusCode; }
  std::string_view Head() const { return head; }
  // Head bytes received so far, interim heads included: progress while waiting for the head.
  size_t HeadBytesSeen() const { return headBytesSeen; }
  // Why a callback stopped the transfer: 0 when none did, else a Win32 code.
  uint32_t StopReason() const { return stopReason; }

  size_t PendingBytes() const { return pending.size() - taken; }
  // Moves up to size waiting body bytes into buffer; returns the count.
  size_t Take(void* buffer, size_t size);
  // True once when the transfer was paused and enough has been taken to resume it.
  bool ShouldResume();

 private:
  size_t AddHeadLine(std::string_view line);
  size_t AddBody(std::string_view bytes);

  std::string head;
  size_t headBytesSeen = 0;
  uint32_t statusCode = 0;
  bool headComplete = false;
  uint32_t stopReason = 0;

  std::vector<uint8_t> pending;
  size_t taken = 0;  // bytes at the front of pending already handed out
  bool paused = false;
};

}  // namespace ksrn::net::curl
