// Reading the received head: status code and raw header block.
#include "net/curl/handle_registry.h"
#include "net/http_ops.h"

namespace ksrn::net {

bool HttpQueryStatusCode(NetHandle request, uint32_t& statusCode) {
  return curl::OnRequest(
      request, [&](curl::Request& context) { return context.QueryStatusCode(statusCode); });
}

bool HttpQueryRawHeaders(NetHandle request, void* buffer, uint32_t& bufferBytes) {
  return curl::OnRequest(request, [&](curl::Request& context) {
    return context.QueryRawHeaders(buffer, bufferBytes);
  });
}

}  // namespace ksrn::net
