// What WinHTTP tells of the connection a request went out on: the numeric address of its peer,
// in the text Linux reports for the same peer (dotted IPv4, IPv6 as inet_ntop writes it:
// lowercase, the longest run of zero groups shortened, an IPv4 tail in dotted form, never
// brackets or a zone; ours rather than WinHTTP's own text, whose IPv6 form is undocumented), and
// whether it carried a TLS session with the server.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wide_string.h"

namespace ksrn::net::winhttp {

// The text of an address in network order: 4 bytes for IPv4, 16 for IPv6; empty for any other
// size.
WideString FormatIpAddress(const uint8_t* bytes, size_t size);

// The peer of the connection that carried the response (WINHTTP_OPTION_CONNECTION_INFO, which
// WinHTTP answers once the head has arrived). request is the request's HINTERNET. False when
// WinHTTP gives no address.
bool QueryPeerAddress(void* request, WideString& address);

// Whether the request's connection made a TLS session with the server: WinHTTP holds the
// server's certificate (WINHTTP_OPTION_SERVER_CERT_CONTEXT). request is its HINTERNET.
bool HasServerCertificate(void* request);

// WinHTTP's own text of the address it connected to (the "connected to server" notification),
// without the brackets or the zone some WinHTTP put around an IPv6 address.
WideStringView TrimAddressText(WideStringView text);

}  // namespace ksrn::net::winhttp
