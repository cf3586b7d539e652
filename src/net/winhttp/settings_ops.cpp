// Session time-outs and request options.
#include <mutex>

#include "net/http_ops.h"
#include "net/winhttp/handle_context.h"
#include "net/winhttp/handle_registry.h"
#include "net/winhttp/op_result.h"

namespace ksrn::net {
namespace {

using winhttp::HandleKind;

uint32_t SetTimeouts(NetHandle session, int resolveMs, int connectMs, int sendMs, int receiveMs) {
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(session, HandleKind::Session, error);
  if (context == nullptr) {
    return error;
  }
  error = context->WithHandle([&](HINTERNET handle) {
    return WinHttpSetTimeouts(handle, resolveMs, connectMs, sendMs, receiveMs)
               ? kErrorSuccess
               : winhttp::LastFailure();
  });
  if (error != kErrorSuccess) {
    return error;
  }
  // Requests already open under the session take these values before their next wait.
  winhttp::SessionTimeouts& timeouts = *context->Timeouts();
  std::lock_guard lock(timeouts.mutex);
  timeouts.resolveMs = resolveMs;
  timeouts.connectMs = connectMs;
  timeouts.sendMs = sendMs;
  timeouts.receiveMs = receiveMs;
  ++timeouts.generation;
  return kErrorSuccess;
}

bool IsSupportedOption(uint32_t option) {
  return option == kOptionDisableFeature || option == kOptionDecompression;
}

uint32_t SetOption(NetHandle request, uint32_t option, uint32_t value) {
  if (!IsSupportedOption(option)) {
    return kErrorInvalidParameter;
  }
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(request, HandleKind::Request, error);
  if (context == nullptr) {
    return error;
  }
  return context->WithHandle([&](HINTERNET handle) {
    DWORD optionValue = value;
    return WinHttpSetOption(handle, option, &optionValue, sizeof optionValue)
               ? kErrorSuccess
               : winhttp::LastFailure();
  });
}

}  // namespace

bool HttpSetTimeouts(NetHandle session, int resolveMs, int connectMs, int sendMs, int receiveMs) {
  return Report(
      Guarded([&] { return SetTimeouts(session, resolveMs, connectMs, sendMs, receiveMs); }));
}

bool HttpSetOption(NetHandle request, uint32_t option, uint32_t value) {
  return Report(Guarded([&] { return SetOption(request, option, value); }));
}

}  // namespace ksrn::net
