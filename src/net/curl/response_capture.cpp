// The response capture: heads kept as received, the body queued for the reader.
#include "net/curl/response_capture.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/ascii.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

// Taken body bytes are dropped from the front once this many have gathered.
constexpr size_t kCompactAtBytes = 64 * 1024;

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

}  // namespace ksrn::net::curl
