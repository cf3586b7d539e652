#include "net/winhttp/status_callback.h"

#include "net/winhttp/handle_context.h"
#include "net/winhttp/op_result.h"

namespace ksrn::net::winhttp {

void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                             DWORD informationLength) {
  auto* target = reinterpret_cast<HandleContext*>(context);
  // A child handle can report under its parent's context before it has its own; only the
  // handle a context adopted speaks for it.
  if (target == nullptr || !target->IsContextOf(handle)) {
    return;
  }
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
      target->OnRequestSent();
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      target->Complete(AsyncCall::Send, kErrorSuccess, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      target->Complete(AsyncCall::Receive, kErrorSuccess, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      target->Complete(AsyncCall::DataAvailable, kErrorSuccess,
                       *static_cast<const DWORD*>(information));
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      target->Complete(AsyncCall::Read, kErrorSuccess, informationLength);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const DWORD error = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
      target->Complete(AsyncCall::None, WinHttpCode(error), 0);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      target->OnHandleClosing();
      break;
    default:
      break;
  }
}

}  // namespace ksrn::net::winhttp
