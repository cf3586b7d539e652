// libcurl's process-wide set-up, made once before the first handle and never undone: a worker
// of a host that forgot to shut down may still use libcurl while the process exits.
#pragma once

#include <cstdint>

namespace ksrn::net::curl {

// 0 once libcurl is ready; otherwise the Win32 code of the failure, and the next call tries
// again.
uint32_t PrepareCurl();

}  // namespace ksrn::net::curl
