// The operation set's last error: one value per thread, like the Win32 last error it stands for.
#include <cstdint>

#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net {
namespace {

thread_local uint32_t gLastError = kErrorSuccess;

}  // namespace

uint32_t HttpLastError() { return gLastError; }

void HttpSetLastError(uint32_t error) { gLastError = error; }

}  // namespace ksrn::net
