// Session time-outs and request options.
#include "net/curl/handle_registry.h"
#include "net/guarded_call.h"
#include "net/http_ops.h"

namespace ksrn::net {
namespace {

// WinHTTP's rule: -1 and 0 mean no limit, other negative values are refused.
bool IsTimeout(int ms) { return ms >= -1; }

uint32_t SetTimeouts(NetHandle sessionHandle, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) {
  uint32_t error = kErrorSuccess;
  const auto session = curl::FindHandle<curl::Session>(sessionHandle, error);
  if (session == nullptr) {
    return error;
  }
  if (!IsTimeout(resolveMs) || !IsTimeout(connectMs) || !IsTimeout(sendMs) ||
      !IsTimeout(receiveMs)) {
    return kErrorInvalidParameter;
  }
  curl::SessionTimeouts& timeouts = session->timeouts;
  timeouts.resolveMs.store(resolveMs);
  timeouts.connectMs.store(connectMs);
  timeouts.sendMs.store(sendMs);
  timeouts.receiveMs.store(receiveMs);
  return kErrorSuccess;
}

}  // namespace

bool HttpSetTimeouts(NetHandle session, int resolveMs, int connectMs, int sendMs, int receiveMs) {
  return Report(
      Guarded([&] { return SetTimeouts(session, resolveMs, connectMs, sendMs, receiveMs); }));
}

bool HttpSetOption(NetHandle request, uint32_t option, uint32_t value) {
  return curl::OnRequest(request,
                         [&](curl::Request& context) { return context.SetOption(option, value); });
}

}  // namespace ksrn::net
