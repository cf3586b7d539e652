// How every operation of the libcurl set ends: the work returns a Win32 code, and the thread's
// last error is set only afterwards, once no destructor can run any more curl code.
#pragma once

#include <cstdint>
#include <new>

#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {

// Runs work() and turns an escaping exception into a code: no exception leaves the set.
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

// True for success; otherwise leaves error in the thread's last error.
inline bool Report(uint32_t error) {
  if (error == kErrorSuccess) {
    return true;
  }
  HttpSetLastError(error);
  return false;
}

}  // namespace ksrn::net::curl
