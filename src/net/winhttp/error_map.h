// WinHTTP codes that the public header does not list, mapped to the listed code of the same
// event, so a host needs no list of its own. Every other code passes unchanged.
#pragma once

#include <cstdint>

#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {

// clang-format off
// WinHTTP code                                           becomes  why
// 12015 ERROR_WINHTTP_LOGIN_FAILURE                      12029    an automatic logon with the
//                                                                 default credentials failed: an
//                                                                 authenticating (automatic) proxy
//                                                                 let no connection through
// 12032 ERROR_WINHTTP_RESEND_REQUEST                     12029    another leg of such a logon is
//                                                                 due; we never resend, so no
//                                                                 connection came of it
// 12181 ERROR_WINHTTP_HEADER_COUNT_EXCEEDED              12182    the head is over WinHTTP's limit
// 12183 ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW
//                                                        12152    a chunk's size line over the
//                                                                 limit: an invalid response
// 12184 ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW            12152    a response over an internal limit
// clang-format on
// Whether the request went out before either of the first two is the trace's to tell
// (RequestMayBeWrittenAfter): WinHTTP does not say whether the proxy or the server asked.
inline uint32_t ListedWinHttpCode(uint32_t error) {
  constexpr uint32_t kLoginFailure = 12015;
  constexpr uint32_t kResendRequest = 12032;
  constexpr uint32_t kHeaderCountExceeded = 12181;
  constexpr uint32_t kChunkedHeaderSizeOverflow = 12183;
  constexpr uint32_t kResponseDrainOverflow = 12184;
  switch (error) {
    case kLoginFailure:
    case kResendRequest:
      return kErrorWinhttpCannotConnect;
    case kHeaderCountExceeded:
      return kErrorWinhttpHeaderSizeOverflow;
    case kChunkedHeaderSizeOverflow:
    case kResponseDrainOverflow:
      return kErrorWinhttpInvalidServerResponse;
    default:
      return error;
  }
}

}  // namespace ksrn::net::winhttp
