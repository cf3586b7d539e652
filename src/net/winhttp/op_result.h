// The codes the facade reports for WinHTTP's failures. Every operation runs through Guarded and
// ends with Report (net/guarded_call.h).
#pragma once

#include <windows.h>

#include <cstdint>

#include "net/guarded_call.h"
#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {

// WinHTTP's codes pass through, with two corrections: a failure never reads as success, and the
// socket codes that some WinHTTP builds (Wine's) let through become the WinHTTP codes that
// Windows reports for the same event.
inline uint32_t WinHttpCode(uint32_t error) {
  constexpr uint32_t kWsaConnectionAborted = 10053;
  constexpr uint32_t kWsaConnectionReset = 10054;
  constexpr uint32_t kWsaTimedOut = 10060;
  switch (error) {
    case kErrorSuccess:
      return kErrorWinhttpInternalError;
    case kWsaTimedOut:
      return kErrorWinhttpTimeout;
    case kWsaConnectionAborted:
    case kWsaConnectionReset:
      return kErrorWinhttpConnectionError;
    default:
      return error;
  }
}

// The code of the WinHTTP call that just failed.
inline uint32_t LastFailure() { return WinHttpCode(GetLastError()); }

}  // namespace ksrn::net::winhttp
