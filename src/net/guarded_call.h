// How every operation of a platform's operation set ends: the work returns a Win32 code, no
// exception leaves the set, and the thread's last error is set only afterwards, once no
// destructor or lock can overwrite it any more.
#pragma once

#include <cstdint>
#include <new>

#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net {

// Runs work() and turns an escaping exception into a code.
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

// For the operations that create a handle: work(handle) returns a code and fills handle on
// success. The handle, or null with the code in the thread's last error.
template <class Work>
NetHandle ReportHandle(Work work) {
  NetHandle handle = nullptr;
  return Report(Guarded([&] { return work(handle); })) ? handle : nullptr;
}

}  // namespace ksrn::net
