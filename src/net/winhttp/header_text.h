// The raw response head as every platform of ours reports it: header bytes that form valid
// UTF-8 are decoded as UTF-8, any other byte as its Latin-1 code point. WinHTTP widens the
// bytes itself, with the ANSI code page (Wine) or byte for byte, so the bytes are recovered
// first.
#pragma once

#include "platform/wide_string.h"

namespace ksrn::net::winhttp {

// The head text decoded as above. Text whose bytes cannot be recovered exactly is returned as
// WinHTTP gave it.
WideString DecodeHeaderText(WideStringView text);

}  // namespace ksrn::net::winhttp
