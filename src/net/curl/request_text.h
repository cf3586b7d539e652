// The request's parts as the bytes libcurl puts on the wire. Each conversion accepts only text
// that goes out unchanged and cannot alter the shape of the request (no CR, LF or NUL where
// they would end a line or a URL part), and refuses anything else with a Win32 code instead of
// sending something the caller did not write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wide_string.h"

namespace ksrn::net::curl {

// "https://host:port/" for the server: the name may hold letters, digits, '-' and '.' only, so
// nothing in it can be read as another part of the URL. 12005 otherwise.
uint32_t ServerOrigin(WideStringView host, uint16_t port, std::string& origin);

// The method: token characters only. 87 otherwise.
uint32_t MethodBytes(WideStringView method, std::string& bytes);

// The object name, sent byte for byte as the request target: printable ASCII, no space. 12005
// otherwise.
uint32_t TargetBytes(WideStringView objectName, std::string& bytes);

// A header value, such as the user agent: tab, printable ASCII and Latin-1 units, one byte each.
// 87 otherwise.
uint32_t HeaderValueBytes(WideStringView text, std::string& bytes);

// The caller's CR LF separated header block as CURLOPT_HTTPHEADER lines, in order, followed by
// the lines that keep libcurl from adding headers the caller did not write: Accept, Expect and,
// for a request with a body, Content-Type. Empty lines are skipped; a line that is not a token
// name, a colon and a header value fails with 87.
uint32_t HeaderListLines(WideStringView block, bool hasBody, std::vector<std::string>& lines);

}  // namespace ksrn::net::curl
