// The easy handle's options for one exchange.
#include "net/curl/easy_setup.h"

#include <vector>

#include "net/curl/error_map.h"
#include "net/curl/request_text.h"
#include "net/curl/shared_caches.h"
#include "platform/limits.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {

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

uint32_t SetUpEasy(CURL* easy, const EasyRequest& request, ResponseCapture& response,
                   TraceStamper& stamper, HeaderList& headerList) {
  const std::string& method = request.method;
  const bool isHead = method == "HEAD";
  // Content-Length as WinHTTP writes it: always for POST and PUT, for other methods with a body.
  const bool hasBody = request.bodyLength > 0 || method == "POST" || method == "PUT";
  if (isHead && request.bodyLength > 0) {
    return kErrorInvalidParameter;
  }
  std::vector<std::string> lines;
  if (const uint32_t error = HeaderListLines(request.headers, hasBody, lines);
      error != kErrorSuccess) {
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

  CURLcode code = CURLE_OK;
  const auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) {
      code = curl_easy_setopt(easy, option, value);
    }
  };
  // The path and query go out byte for byte as the request target: libcurl's URL parser never
  // sees them, so nothing is normalised or escaped.
  set(CURLOPT_URL, request.origin.c_str());
  set(CURLOPT_REQUEST_TARGET, request.target.c_str());
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_NOSIGNAL, 1L);
  // The multi handle outlives the request: unless connections are kept, its connection must
  // neither come from nor stay in the handle's cache. Kept ones age by the library's setting,
  // not by libcurl's shorter default.
  const long fresh = request.keepConnection ? 0L : 1L;
  set(CURLOPT_FRESH_CONNECT, fresh);
  set(CURLOPT_FORBID_REUSE, fresh);
  if (request.keepConnection) {
    set(CURLOPT_MAXAGE_CONN, static_cast<long>(kMaxKeepAliveMs / 1000 + 1));
  }
  // The system's proxy, tunnelled with CONNECT: TLS stays end to end with the target, whose
  // certificate is checked as without one. Both values are set, also when empty, so that libcurl
  // reads no variable of its own choosing (all_proxy, for one). The tunnel's own answer is no
  // part of the response head.
  set(CURLOPT_PROXY, request.proxy.url.c_str());
  set(CURLOPT_NOPROXY, request.proxy.bypass.c_str());
  set(CURLOPT_HTTPPROXYTUNNEL, 1L);
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // No bundle of libcurl's own to parse per connection: the shared store is installed instead.
  set(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  set(CURLOPT_SSL_CTX_FUNCTION, &PrepareTlsContext);
  if (CURLSH* share = SharedCaches(request.origin); share != nullptr) {
    set(CURLOPT_SHARE, share);
  }
  // A close during name resolution must not wait for the resolver thread.
  set(CURLOPT_QUICK_EXIT, 1L);
  set(CURLOPT_HEADERFUNCTION, &ResponseCapture::OnHeader);
  set(CURLOPT_HEADERDATA, &response);
  set(CURLOPT_WRITEFUNCTION, &ResponseCapture::OnBody);
  set(CURLOPT_WRITEDATA, &response);
  set(CURLOPT_SOCKOPTFUNCTION, &TraceStamper::OnSocketOption);
  set(CURLOPT_SOCKOPTDATA, &stamper);
  set(CURLOPT_PREREQFUNCTION, &TraceStamper::OnPreRequest);
  set(CURLOPT_PREREQDATA, &stamper);
  set(CURLOPT_HTTPHEADER, headerList.get());
  if (!request.userAgent.empty()) {
    set(CURLOPT_USERAGENT, request.userAgent.c_str());
  }
  if (!request.acceptEncoding.empty()) {
    set(CURLOPT_ACCEPT_ENCODING, request.acceptEncoding.c_str());
  }
  if (isHead) {
    set(CURLOPT_NOBODY, 1L);
  } else if (hasBody) {
    // Content-Length is sent even for an empty body; the bytes are copied, so the caller's
    // buffer is free once the call returns.
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.bodyLength));
    set(CURLOPT_COPYPOSTFIELDS,
        request.bodyLength > 0 ? static_cast<const char*>(request.body) : "");
    if (method != "POST") {
      set(CURLOPT_CUSTOMREQUEST, method.c_str());
    }
  } else if (method != "GET") {
    set(CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  return Win32FromCurl(code);
}

}  // namespace ksrn::net::curl
