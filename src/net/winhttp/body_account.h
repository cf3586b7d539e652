// Keeps count of a response body against the length its head announced. Some WinHTTP builds
// (Wine's) report a connection that closes before the announced length as the end of the body;
// counting turns that into the connection error it is instead of a short body taken as whole.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <optional>

namespace ksrn::net::winhttp {

// Used by the thread that runs the request only.
struct BodyAccount {
  bool isHead = false;
  std::optional<uint64_t> announcedBytes;  // known only for a plain Content-Length body
  uint64_t deliveredBytes = 0;

  bool IsShort() const { return announcedBytes.has_value() && deliveredBytes < *announcedBytes; }
};

// The body length the received head announces, when the bytes read must add up to it: not for
// HEAD, bodiless statuses, transfer codings or content codings (decoding changes the count).
std::optional<uint64_t> AnnouncedBodyBytes(HINTERNET request, bool isHead);

}  // namespace ksrn::net::winhttp
