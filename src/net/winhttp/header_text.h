// The raw response head as every platform of ours reports it: header bytes that form valid
// UTF-8 are decoded as UTF-8, any other byte as its Latin-1 code point (platform/header_bytes.h).
// Where WinHTTP gives the head as received (WINHTTP_QUERY_FLAG_WIRE_ENCODING) the bytes are
// decoded directly; where it refuses that flag (Wine 8: 87) it gives text it widened itself,
// with the ANSI code page or byte for byte, and the bytes are recovered from that text first.
#pragma once

#include "platform/wide_string.h"

namespace ksrn::net::winhttp {

// The head text WinHTTP widened on a host whose ANSI code page is codePage (GetACP(); a
// parameter so that tests choose it), decoded as above line by line. With 65001 WinHTTP has
// decoded the UTF-8 itself, so the text is kept. A double-byte page (932, 936, 949, 950) turns
// an invalid sequence into its default character (U+30FB for 932, '?' for the others) or U+FFFD
// and swallows the next byte; that character encodes again without complaint, to other bytes,
// so a line holding it is kept as WinHTTP gave it, as is a line whose bytes cannot be recovered
// exactly.
WideString DecodeHeaderText(WideStringView text, unsigned codePage);

}  // namespace ksrn::net::winhttp
