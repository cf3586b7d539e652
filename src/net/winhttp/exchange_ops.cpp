// The operations that wait on the network: each starts one asynchronous WinHTTP call and
// blocks until its completion arrives through the status callback (for a send, until its request
// has been written), or until a close.
#include <algorithm>
#include <cstring>

#include "net/http_ops.h"
#include "net/winhttp/handle_context.h"
#include "net/winhttp/handle_registry.h"
#include "net/winhttp/op_result.h"

namespace ksrn::net {
namespace {

using winhttp::AsyncCall;
using winhttp::Completion;
using winhttp::HandleContext;
using winhttp::HandleKind;

uint32_t Succeed(const Completion&) { return kErrorSuccess; }

uint32_t SendRequest(NetHandle request, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(request, HandleKind::Request, error);
  if (context == nullptr) {
    return error;
  }
  const auto contextValue = reinterpret_cast<DWORD_PTR>(context.get());
  return context->Await(
      AsyncCall::Send,
      [&](HINTERNET handle) {
        // Added, never replaced: a repeated name (any case) is a line of its own, which a block
        // given to the send itself would not keep. WinHTTP copies the lines at once.
        if (headers != nullptr && headersLength > 0 &&
            !WinHttpAddRequestHeaders(handle, headers, headersLength, WINHTTP_ADDREQ_FLAG_ADD)) {
          return FALSE;
        }
        // Without this, a server that asks for a certificate but does not require one fails
        // the send with 12044 (ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED).
        if (!WinHttpSetOption(handle, WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                              WINHTTP_NO_CLIENT_CERT_CONTEXT, 0)) {
          return FALSE;
        }
        // WinHTTP may still read the body after a close ended the wait: it reads the context's
        // copy, which lives until the handle is gone.
        const auto* bytes = static_cast<const uint8_t*>(body);
        context->sendBody.assign(bytes, bytes != nullptr ? bytes + bodyLength : bytes);
        const bool hasBody = !context->sendBody.empty();
        const auto size = static_cast<DWORD>(context->sendBody.size());
        return WinHttpSendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  hasBody ? context->sendBody.data() : WINHTTP_NO_REQUEST_DATA,
                                  size, size, contextValue);
      },
      Succeed);
}

uint32_t ReceiveResponse(NetHandle request) {
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(request, HandleKind::Request, error);
  if (context == nullptr) {
    return error;
  }
  // The send may have returned with its completion still to come; WinHTTP takes no receive
  // before it, and its failure is this operation's.
  error = context->AwaitSendCompletion();
  if (error != kErrorSuccess) {
    return error;
  }
  error = context->Await(
      AsyncCall::Receive, [](HINTERNET handle) { return WinHttpReceiveResponse(handle, nullptr); },
      Succeed);
  if (error != kErrorSuccess) {
    return error;
  }
  return context->WithHandle([&](HINTERNET handle) {
    context->body.announcedBytes = winhttp::AnnouncedBodyBytes(handle, context->body.isHead);
    context->body.deliveredBytes = 0;
    return kErrorSuccess;
  });
}

uint32_t QueryDataAvailable(NetHandle request, uint32_t& available) {
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(request, HandleKind::Request, error);
  if (context == nullptr) {
    return error;
  }
  // In asynchronous mode the count arrives with the completion, never through the argument.
  return context->Await(
      AsyncCall::DataAvailable,
      [](HINTERNET handle) { return WinHttpQueryDataAvailable(handle, nullptr); },
      [&](const Completion& completion) {
        if (completion.count == 0 && context->body.IsShort()) {
          return kErrorWinhttpConnectionError;
        }
        available = completion.count;
        return kErrorSuccess;
      });
}

uint32_t ReadData(NetHandle request, void* buffer, uint32_t size, uint32_t& bytesRead) {
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(request, HandleKind::Request, error);
  if (context == nullptr) {
    return error;
  }
  return context->Await(
      AsyncCall::Read,
      [&](HINTERNET handle) {
        // WinHTTP writes into the context's buffer, never the caller's: a read that outlives
        // a close must not land in memory the caller has already released.
        if (context->readBuffer.size() < size) {
          context->readBuffer.resize(size);
        }
        return WinHttpReadData(handle, context->readBuffer.data(), size, nullptr);
      },
      [&](const Completion& completion) {
        if (completion.count == 0 && size > 0 && context->body.IsShort()) {
          return kErrorWinhttpConnectionError;
        }
        bytesRead = std::min(completion.count, size);
        if (bytesRead > 0) {
          std::memcpy(buffer, context->readBuffer.data(), bytesRead);
        }
        context->body.deliveredBytes += bytesRead;
        return kErrorSuccess;
      });
}

}  // namespace

bool HttpSendRequest(NetHandle request, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  return Report(
      Guarded([&] { return SendRequest(request, headers, headersLength, body, bodyLength); }));
}

bool HttpReceiveResponse(NetHandle request) {
  return Report(Guarded([&] { return ReceiveResponse(request); }));
}

bool HttpQueryDataAvailable(NetHandle request, uint32_t& available) {
  return Report(Guarded([&] { return QueryDataAvailable(request, available); }));
}

bool HttpReadData(NetHandle request, void* buffer, uint32_t size, uint32_t& bytesRead) {
  return Report(Guarded([&] { return ReadData(request, buffer, size, bytesRead); }));
}

}  // namespace ksrn::net
