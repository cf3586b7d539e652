// The facade's last error is the thread's Win32 last error, the one WinHTTP itself sets.
#include <windows.h>

#include "net/http_ops.h"

namespace ksrn::net {

uint32_t HttpLastError() { return GetLastError(); }

void HttpSetLastError(uint32_t error) { SetLastError(error); }

}  // namespace ksrn::net
