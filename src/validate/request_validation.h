// The checks of a request's method and extra header lines, made on the host's thread beside the
// URL checks: nothing refused here is ever sent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wide_string.h"

namespace ksrn {

// Copies the NUL-terminated caller string source (null reads as empty) into text, reading no
// unit past maxChars. False with 111 when it is longer than maxChars units.
bool CopyBounded(const WideChar* source, size_t maxChars, WideString& text, uint32_t& error);

// The methods a host may switch on beyond GET, HEAD and POST (some exchanges cancel orders only
// with DELETE and amend them with PUT), one bit each. Off until asked for.
using MethodSet = uint32_t;

// The bit of DELETE, PUT or PATCH named in any case; 0 for every other name, a name with a space
// or other trailing unit included. Reads name only up to its first mismatch.
MethodSet ExtraMethodBit(const WideChar* name);

// Upper-cases method in place (ASCII letters only; empty becomes GET) and accepts GET, POST,
// HEAD and the extra methods in allowed. Anything else is refused with 5.
bool ValidateMethod(WideString& method, MethodSet allowed, uint32_t& error);

// Accepts a block of CR LF separated "name:value" lines, optionally ending in one CR LF, with
// token names, values of HT and printable ASCII, and none of the names the HTTP layer owns
// (Host, Connection, Content-Length, Proxy-Connection, Transfer-Encoding, Proxy-Authorization).
// The block is sent unchanged, so it is only checked, never rewritten. The first failing line
// decides: 13 when it is malformed (an empty line included), 5 when it names a refused header.
// The empty block is accepted. Allocates nothing.
bool ValidateHeaders(WideStringView headerBlock, uint32_t& error);

}  // namespace ksrn
