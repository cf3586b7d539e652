// How every facade operation ends: the work returns a Win32 code, and the thread's last error
// is set only afterwards, when no destructor or lock can overwrite it any more.
#pragma once

#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {

// Runs work() and turns an escaping exception into a code: no exception leaves the facade.
template <class Work>
uint32_t Guarded(Work work) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  } catch (...) {
    return kErrorGenFailure;
  }
}

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

// True for success; otherwise leaves error in the thread's last error.
inline bool Report(uint32_t error) {
  if (error == kErrorSuccess) {
    return true;
  }
  SetLastError(error);
  return false;
}

}  // namespace ksrn::net::winhttp
