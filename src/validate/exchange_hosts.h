// The compiled-in set of exchange API hosts the library may talk to. Changing it means
// rebuilding the library: nothing at run time adds, removes or overrides a host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wide_string.h"

namespace ksrn {

inline constexpr size_t kExchangeHostCount = 21;

// True when `host` (NUL-terminated) is exactly one of the allowlisted host names, with A to Z
// taken as a to z and every other unit compared as is. Whole names only: no subdomain, prefix,
// trailing-dot, port or address matching. Null gives false. Reads no further than one unit past
// the length of the longest entry, allocates nothing and never throws.
bool IsAllowedExchangeHost(const WideChar* host) noexcept;

// The position of an allowlisted host in the list, matched as IsAllowedExchangeHost matches,
// for tables kept per host; -1 for any other name.
int ExchangeHostIndex(const WideChar* host) noexcept;

// A host name as a host passes it to a per-host call: its allowlist index, or the refusal: 87
// null, 123 not a host name at all (empty, over 253 units, or a unit other than an ASCII letter,
// digit, '-' or '.'), 5 a name that is not allowlisted.
uint32_t CheckExchangeHostName(const WideChar* host, int& index) noexcept;

}  // namespace ksrn
