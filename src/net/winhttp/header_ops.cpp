// Reading the received response head. WinHTTP answers these from the headers it already holds,
// so they run synchronously even on an asynchronous handle.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/http_ops.h"
#include "net/winhttp/handle_context.h"
#include "net/winhttp/handle_registry.h"
#include "net/winhttp/header_text.h"
#include "net/winhttp/op_result.h"
#include "platform/header_bytes.h"

namespace ksrn::net {
namespace {

using winhttp::HandleKind;

uint32_t QueryStatusCode(NetHandle request, uint32_t& statusCode) {
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(request, HandleKind::Request, error);
  if (context == nullptr) {
    return error;
  }
  return context->WithHandle([&](HINTERNET handle) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return winhttp::LastFailure();
    }
    statusCode = value;
    return kErrorSuccess;
  });
}

// WINHTTP_QUERY_FLAG_WIRE_ENCODING, which not every winhttp.h defines.
constexpr DWORD kQueryFlagWireEncoding = 0x01000000;

// The head's bytes as received, where WinHTTP gives them for the raw query; false where it
// refuses the flag (Wine 8 fails with 87) or has no head, and the caller asks for its text.
bool FetchWireBytes(HINTERNET handle, std::string& bytes) {
  constexpr DWORD kLevel = WINHTTP_QUERY_RAW_HEADERS_CRLF | kQueryFlagWireEncoding;
  DWORD size = 0;
  if (WinHttpQueryHeaders(handle, kLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                          &size, WINHTTP_NO_HEADER_INDEX) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  bytes.assign(size + 1, '\0');
  if (!WinHttpQueryHeaders(handle, kLevel, WINHTTP_HEADER_NAME_BY_INDEX, bytes.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  bytes.resize(std::min<size_t>(size, bytes.size() - 1));
  while (!bytes.empty() && bytes.back() == '\0') {
    bytes.pop_back();
  }
  // A WinHTTP that ignored the flag wrote UTF-16, which does not begin so.
  return bytes.starts_with("HTTP/");
}

// WinHTTP's own text of the head, by its two-call protocol; empty when it has none.
uint32_t FetchRawHeaders(HINTERNET handle, std::vector<WideChar>& text, size_t& length) {
  DWORD size = 0;
  length = 0;
  if (WinHttpQueryHeaders(handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                          WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
    return kErrorSuccess;
  }
  if (const uint32_t error = winhttp::LastFailure(); error != kErrorInsufficientBuffer) {
    return error;
  }
  text.assign(size / sizeof(WideChar) + 1, 0);
  if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                           text.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return winhttp::LastFailure();
  }
  length = std::min<size_t>(size / sizeof(WideChar), text.size() - 1);
  return kErrorSuccess;
}

uint32_t QueryRawHeaders(NetHandle request, void* buffer, uint32_t& bufferBytes) {
  uint32_t error = kErrorSuccess;
  const auto context = winhttp::FindHandle(request, HandleKind::Request, error);
  if (context == nullptr) {
    return error;
  }
  std::string wire;
  bool haveWire = false;
  std::vector<WideChar> raw;
  size_t length = 0;
  error = context->WithHandle([&](HINTERNET handle) {
    haveWire = FetchWireBytes(handle, wire);
    return haveWire ? kErrorSuccess : FetchRawHeaders(handle, raw, length);
  });
  if (error != kErrorSuccess) {
    return error;
  }
  // Wine 8 takes a head the connection cut short for a whole one; a whole head ends blank.
  if (length > 0 && !WideStringView(raw.data(), length).ends_with(WideStringView(L"\r\n\r\n"))) {
    return kErrorWinhttpInvalidServerResponse;
  }
  // The size protocol applies to the decoded text, which both calls compute alike.
  const WideString text =
      haveWire ? DecodeHeaderBytes(wire)
               : winhttp::DecodeHeaderText(WideStringView(raw.data(), length), GetACP());
  const uint64_t neededBytes = (text.size() + 1) * sizeof(WideChar);
  if (buffer == nullptr || bufferBytes < neededBytes) {
    bufferBytes = static_cast<uint32_t>(std::min<uint64_t>(neededBytes, UINT32_MAX));
    return kErrorInsufficientBuffer;
  }
  std::memcpy(buffer, text.c_str(), neededBytes);
  bufferBytes = static_cast<uint32_t>(text.size() * sizeof(WideChar));
  return kErrorSuccess;
}

}  // namespace

bool HttpQueryStatusCode(NetHandle request, uint32_t& statusCode) {
  return Report(Guarded([&] { return QueryStatusCode(request, statusCode); }));
}

bool HttpQueryRawHeaders(NetHandle request, void* buffer, uint32_t& bufferBytes) {
  return Report(Guarded([&] { return QueryRawHeaders(request, buffer, bufferBytes); }));
}

}  // namespace ksrn::net
