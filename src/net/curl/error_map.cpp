#include "net/curl/error_map.h"

#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

struct CodeMapping {
  CURLcode curl;
  uint32_t win32;
};

// clang-format off
// libcurl result                 Win32 code (WinHTTP's name)                  event
// CURLE_OK                       0                                            success
// CURLE_COULDNT_RESOLVE_HOST     12007 ERROR_WINHTTP_NAME_NOT_RESOLVED        no address for the host
// CURLE_COULDNT_RESOLVE_PROXY    12007                                        no address for the proxy
// CURLE_COULDNT_CONNECT          12029 ERROR_WINHTTP_CANNOT_CONNECT           refused, unreachable
//                                                                             (the proxy included)
// CURLE_OPERATION_TIMEDOUT       12002 ERROR_WINHTTP_TIMEOUT                  libcurl's own limit
// CURLE_PEER_FAILED_VERIFICATION 12175 ERROR_WINHTTP_SECURE_FAILURE           untrusted, wrong name,
//                                                                             expired certificate
// CURLE_SSL_CONNECT_ERROR        12175                                        handshake failed
// CURLE_SSL_CACERT_BADFILE       12175                                        trust store unreadable
// CURLE_SSL_CERTPROBLEM, _CIPHER, _ISSUER_ERROR, _INVALIDCERTSTATUS,
//   _PINNEDPUBKEYNOTMATCH, _CRL_BADFILE, _SHUTDOWN_FAILED  12175               other TLS faults
// CURLE_SEND_ERROR               12030 ERROR_WINHTTP_CONNECTION_ERROR         reset while sending
// CURLE_RECV_ERROR               12030                                        reset while receiving
// CURLE_PARTIAL_FILE             12030                                        closed before the end
//                                                                             of the announced body
// CURLE_GOT_NOTHING              12152 ERROR_WINHTTP_INVALID_SERVER_RESPONSE  closed, no response
// CURLE_WEIRD_SERVER_REPLY       12152                                        not HTTP/1.x
// CURLE_BAD_CONTENT_ENCODING     12152                                        undecodable body
// CURLE_UNSUPPORTED_PROTOCOL     12152                                        a reply that is not
//                                                                             HTTP (our URLs are
//                                                                             always https)
// CURLE_URL_MALFORMAT            12005 ERROR_WINHTTP_INVALID_URL
// CURLE_OUT_OF_MEMORY            8     ERROR_NOT_ENOUGH_MEMORY
// anything else                  12004 ERROR_WINHTTP_INTERNAL_ERROR
// clang-format on
constexpr CodeMapping kCodeTable[] = {
    {CURLE_OK, kErrorSuccess},
    {CURLE_COULDNT_RESOLVE_HOST, kErrorWinhttpNameNotResolved},
    {CURLE_COULDNT_RESOLVE_PROXY, kErrorWinhttpNameNotResolved},
    {CURLE_COULDNT_CONNECT, kErrorWinhttpCannotConnect},
    {CURLE_OPERATION_TIMEDOUT, kErrorWinhttpTimeout},
    {CURLE_PEER_FAILED_VERIFICATION, kErrorWinhttpSecureFailure},
    {CURLE_SSL_CONNECT_ERROR, kErrorWinhttpSecureFailure},
    {CURLE_SSL_CACERT_BADFILE, kErrorWinhttpSecureFailure},
    {CURLE_SSL_CERTPROBLEM, kErrorWinhttpSecureFailure},
    {CURLE_SSL_CIPHER, kErrorWinhttpSecureFailure},
    {CURLE_SSL_ISSUER_ERROR, kErrorWinhttpSecureFailure},
    {CURLE_SSL_INVALIDCERTSTATUS, kErrorWinhttpSecureFailure},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, kErrorWinhttpSecureFailure},
    {CURLE_SSL_CRL_BADFILE, kErrorWinhttpSecureFailure},
    {CURLE_SSL_SHUTDOWN_FAILED, kErrorWinhttpSecureFailure},
    {CURLE_SEND_ERROR, kErrorWinhttpConnectionError},
    {CURLE_RECV_ERROR, kErrorWinhttpConnectionError},
    {CURLE_PARTIAL_FILE, kErrorWinhttpConnectionError},
    {CURLE_GOT_NOTHING, kErrorWinhttpInvalidServerResponse},
    {CURLE_WEIRD_SERVER_REPLY, kErrorWinhttpInvalidServerResponse},
    {CURLE_BAD_CONTENT_ENCODING, kErrorWinhttpInvalidServerResponse},
    {CURLE_URL_MALFORMAT, kErrorWinhttpInvalidUrl},
    {CURLE_UNSUPPORTED_PROTOCOL, kErrorWinhttpInvalidServerResponse},
    {CURLE_OUT_OF_MEMORY, kErrorNotEnoughMemory},
};

}  // namespace

uint32_t Win32FromCurl(CURLcode code) {
  for (const CodeMapping& mapping : kCodeTable) {
    if (mapping.curl == code) {
      return mapping.win32;
    }
  }
  return kErrorWinhttpInternalError;
}

uint32_t Win32FromMulti(CURLMcode code) {
  if (code == CURLM_OK) {
    return kErrorSuccess;
  }
  return code == CURLM_OUT_OF_MEMORY ? kErrorNotEnoughMemory : kErrorWinhttpInternalError;
}

uint32_t Win32FromEnd(const TransferEnd& end) {
  if (end.stopReason != kErrorSuccess) {
    return end.stopReason;
  }
  // libcurl refuses a head line longer than its line buffer as if memory ran out; that can only
  // happen once connected, so a failure before then stays the shortage it is.
  if (end.result == CURLE_OUT_OF_MEMORY && end.secured && !end.headComplete) {
    return kErrorWinhttpHeaderSizeOverflow;
  }
  // A proxy that refused the tunnel, or asked for credentials (407), never let us reach the
  // server.
  if (end.proxyStatus >= 300) {
    return kErrorWinhttpCannotConnect;
  }
  // A clean end before the awaited part of the response: nothing usable came back.
  return end.result == CURLE_OK ? kErrorWinhttpInvalidServerResponse : Win32FromCurl(end.result);
}

}  // namespace ksrn::net::curl
