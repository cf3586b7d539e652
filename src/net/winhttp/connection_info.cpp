#include "net/winhttp/connection_info.h"

// In this order: winhttp.h declares WINHTTP_CONNECTION_INFO only after winsock2.h, and
// wincrypt.h needs windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <array>
#include <cstring>

namespace ksrn::net::winhttp {
namespace {

void AppendDecimal(WideString& text, unsigned value) {
  if (value >= 10) {
    AppendDecimal(text, value / 10);
  }
  text.push_back(static_cast<WideChar>(L'0' + value % 10));
}

void AppendHex(WideString& text, unsigned value) {
  if (value >= 16) {
    AppendHex(text, value / 16);
  }
  text.push_back(static_cast<WideChar>(KSRN_WIDE("0123456789abcdef")[value % 16]));
}

void AppendIpv4(WideString& text, const uint8_t* bytes) {
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      text.push_back(L'.');
    }
    AppendDecimal(text, bytes[i]);
  }
}

// RFC 5952's form, as glibc's inet_ntop gives it (and so libcurl on Linux): the first longest
// run of two or more zero groups becomes "::"; a mapped (::ffff:0:0/96) or compatible (::/96,
// beyond ::1) address ends in its IPv4 form.
void AppendIpv6(WideString& text, const uint8_t* bytes) {
  std::array<unsigned, 8> groups{};
  for (size_t i = 0; i < groups.size(); ++i) {
    groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  }
  size_t runStart = groups.size();
  size_t runLength = 0;
  for (size_t i = 0; i < groups.size();) {
    size_t end = i;
    while (end < groups.size() && groups[end] == 0) {
      ++end;
    }
    if (end - i > runLength && end - i >= 2) {
      runStart = i;
      runLength = end - i;
    }
    i = end == i ? i + 1 : end;
  }
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i >= runStart && i < runStart + runLength) {
      if (i == runStart) {
        text.push_back(L':');
      }
      continue;
    }
    if (i > 0) {
      text.push_back(L':');
    }
    if (i == 6 && runStart == 0 && (runLength == 6 || (runLength == 5 && groups[5] == 0xFFFF))) {
      AppendIpv4(text, bytes + 12);
      return;
    }
    AppendHex(text, groups[i]);
  }
  if (runLength > 0 && runStart + runLength == groups.size()) {
    text.push_back(L':');
  }
}

}  // namespace

WideString FormatIpAddress(const uint8_t* bytes, size_t size) {
  WideString text;
  if (size == 4) {
    AppendIpv4(text, bytes);
  } else if (size == 16) {
    AppendIpv6(text, bytes);
  }
  return text;
}

bool QueryPeerAddress(void* request, WideString& address) {
  WINHTTP_CONNECTION_INFO info = {};
  info.cbSize = sizeof info;
  DWORD size = sizeof info;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_CONNECTION_INFO, &info, &size)) {
    return false;
  }
  const SOCKADDR_STORAGE& peer = info.RemoteAddress;
  if (peer.ss_family == AF_INET) {
    sockaddr_in ipv4;
    std::memcpy(&ipv4, &peer, sizeof ipv4);
    address = FormatIpAddress(reinterpret_cast<const uint8_t*>(&ipv4.sin_addr), 4);
  } else if (peer.ss_family == AF_INET6) {
    sockaddr_in6 ipv6;
    std::memcpy(&ipv6, &peer, sizeof ipv6);
    address = FormatIpAddress(reinterpret_cast<const uint8_t*>(&ipv6.sin6_addr), 16);
  } else {
    address.clear();
  }
  return !address.empty();
}

bool HasServerCertificate(void* request) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof certificate;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) ||
      certificate == nullptr) {
    return false;
  }
  CertFreeCertificateContext(certificate);
  return true;
}

WideStringView TrimAddressText(WideStringView text) {
  if (text.size() >= 2 && text.front() == L'[' && text.back() == L']') {
    text = text.substr(1, text.size() - 2);
  }
  return text.substr(0, text.find(L'%'));
}

}  // namespace ksrn::net::winhttp
