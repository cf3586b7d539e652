// libcurl's results as the Win32 codes WinHTTP reports for the same event. error_map.cpp holds
// the one table; no other file turns a libcurl code into a Win32 code.
#pragma once

#include <curl/curl.h>

#include <cstdint>

namespace ksrn::net::curl {

// The Win32 code for a libcurl result; CURLE_OK gives 0, anything unlisted
// ERROR_WINHTTP_INTERNAL_ERROR (12004), so a failure never reads as success.
uint32_t Win32FromCurl(CURLcode code);

// The same for the multi interface: out of memory gives 8, anything else 12004.
uint32_t Win32FromMulti(CURLMcode code);

// What decides the code of a transfer that ended before the part of the response an operation
// waits for.
struct TransferEnd {
  CURLcode result = CURLE_OK;
  uint32_t stopReason = 0;  // the Win32 code a callback stopped it with, 0 for none
  bool secured = false;     // the connection was up, TLS included
  bool headComplete = false;
  long proxyStatus = 0;  // the proxy's answer to the tunnel request, 0 for none
};

// Never 0: a callback's reason first, then the causes libcurl reports vaguely, then the table.
uint32_t Win32FromEnd(const TransferEnd& end);

}  // namespace ksrn::net::curl
