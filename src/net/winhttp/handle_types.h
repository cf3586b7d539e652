// The plain types the WinHTTP facade's files share: the asynchronous calls a handle waits for,
// their completions, and a request's body count. A leaf, so that the handle context and the Wine
// accommodations can both speak of them without including each other.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {

// The asynchronous calls an operation can wait for.
enum class AsyncCall { None, Send, Receive, DataAvailable, Read };

struct Completion {
  uint32_t error = kErrorSuccess;
  uint32_t count = 0;  // bytes available or bytes read
};

// A response body counted against the length its head announced (EndsBeforeAnnouncedLength).
// Used by the thread that runs the request only.
struct BodyAccount {
  bool isHead = false;
  std::optional<uint64_t> announcedBytes;  // known only for a plain Content-Length body
  uint64_t deliveredBytes = 0;

  bool IsShort() const { return announcedBytes.has_value() && deliveredBytes < *announcedBytes; }
};

}  // namespace ksrn::net::winhttp
