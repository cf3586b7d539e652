#include "net/winhttp/body_account.h"

#include "platform/wide_string.h"

namespace ksrn::net::winhttp {
namespace {

bool HasHeader(HINTERNET request, DWORD level) {
  DWORD size = 0;
  return WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                             &size, WINHTTP_NO_HEADER_INDEX) ||
         GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

std::optional<uint64_t> AnnouncedBodyBytes(HINTERNET request, bool isHead) {
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (isHead ||
      !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                           WINHTTP_NO_HEADER_INDEX) ||
      status < 200 || status == 204 || status == 304 ||
      HasHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING) ||
      HasHeader(request, WINHTTP_QUERY_CONTENT_ENCODING)) {
    return std::nullopt;
  }
  // Read as text: not every WinHTTP converts 64-bit numbers.
  WideChar text[24] = {};
  DWORD textSize = sizeof text - sizeof(WideChar);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &textSize, WINHTTP_NO_HEADER_INDEX) ||
      textSize == 0) {
    return std::nullopt;
  }
  uint64_t length = 0;
  for (size_t i = 0; i < textSize / sizeof(WideChar); ++i) {
    if (text[i] < L'0' || text[i] > L'9' || length > (UINT64_MAX - 9) / 10) {
      return std::nullopt;
    }
    length = length * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  return length;
}

}  // namespace ksrn::net::winhttp
