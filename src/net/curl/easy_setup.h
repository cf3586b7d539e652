// The option policy of an exchange's easy handle: HTTPS and HTTP/1.1 only, no redirects, a fresh
// connection that is never reused unless connections are kept, the system's proxy tunnelled, TLS
// verified against the shared trust store, the process's shared caches, the callbacks that capture
// the response and stamp the trace, and the method, headers and body as the caller gave them.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/curl/proxy.h"
#include "net/curl/response_capture.h"
#include "net/curl/trace_stamps.h"
#include "platform/wide_string.h"

namespace ksrn::net::curl {

struct HeaderListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
// libcurl keeps only a pointer to the header list: it must outlive the transfer.
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

// What goes out, as the bytes libcurl sends.
struct EasyRequest {
  const std::string& origin;  // "https://host:port/"
  const std::string& method;
  const std::string& target;          // path and query, sent unchanged
  const std::string& userAgent;       // empty: no User-Agent header
  const std::string& acceptEncoding;  // empty: no decompression asked for
  WideStringView headers;             // the caller's CR LF separated block
  const void* body;
  size_t bodyLength;
  const ProxySettings& proxy;
  bool keepConnection;  // take a kept connection if the multi handle has one, and keep this one
};

// The Accept-Encoding value for WinHTTP's decompression flags; false for unknown flags.
bool EncodingsFor(uint32_t flags, std::string& encodings);

// Sets every option of easy for request, with response and stamper as the callbacks' data;
// headerList receives the header lines. 0, or the Win32 code of a refused request (87 for a
// body on HEAD or a malformed header line) or of a failed option.
uint32_t SetUpEasy(CURL* easy, const EasyRequest& request, ResponseCapture& response,
                   TraceStamper& stamper, HeaderList& headerList);

}  // namespace ksrn::net::curl
