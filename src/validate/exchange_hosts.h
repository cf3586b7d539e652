// The compiled-in set of exchange API hosts the library may talk to. Changing it means
// rebuilding the library: nothing at run time adds, removes or overrides a host.
#pragma once

#include "platform/wide_string.h"

namespace ksrn {

// True when `host` (NUL-terminated) is exactly one of the allowlisted host names, with A to Z
// taken as a to z and every other unit compared as is. Whole names only: no subdomain, prefix,
// trailing-dot, port or address matching. Null gives false. Reads no further than one unit past
// the length of the longest entry, allocates nothing and never throws.
bool IsAllowedExchangeHost(const WideChar* host) noexcept;

}  // namespace ksrn
