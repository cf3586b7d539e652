// The blocking operations of a request: send, receive, and reading the body. Each holds its own
// reference to the request, so a close from another thread never frees it underneath.
#include "net/curl/handle_registry.h"
#include "net/http_ops.h"

namespace ksrn::net {

using curl::OnRequest;

bool HttpSendRequest(NetHandle request, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  if ((headers == nullptr && headersLength != 0) || (body == nullptr && bodyLength != 0)) {
    return Report(kErrorInvalidParameter);
  }
  const WideStringView headerBlock =
      headers != nullptr ? WideStringView(headers, headersLength) : WideStringView();
  return OnRequest(
      request, [&](curl::Request& context) { return context.Send(headerBlock, body, bodyLength); });
}

bool HttpReceiveResponse(NetHandle request) {
  return OnRequest(request, [](curl::Request& context) { return context.Receive(); });
}

bool HttpQueryDataAvailable(NetHandle request, uint32_t& available) {
  return OnRequest(request,
                   [&](curl::Request& context) { return context.QueryDataAvailable(available); });
}

bool HttpReadData(NetHandle request, void* buffer, uint32_t size, uint32_t& bytesRead) {
  if (buffer == nullptr && size != 0) {
    return Report(kErrorInvalidParameter);
  }
  return OnRequest(request,
                   [&](curl::Request& context) { return context.Read(buffer, size, bytesRead); });
}

}  // namespace ksrn::net
