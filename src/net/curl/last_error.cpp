// The operation set's last error: one value per thread, like the Win32 last error it stands for.
#include <cstdint>

#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net {
namespace {

// Static TLS, reserved when the library loads: the default model for a dlopen'ed library
// allocates each thread's block lazily on first use, and the C library aborts the process when
// that allocation fails.
[[gnu::tls_model("initial-exec")]] thread_local uint32_t gLastError = kErrorSuccess;

}  // namespace

uint32_t HttpLastError() { return gLastError; }

void HttpSetLastError(uint32_t error) { gLastError = error; }

}  // namespace ksrn::net
