#include "net/curl/request_text.h"

#include <algorithm>
#include <string_view>

#include "platform/ascii.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

bool IsHeaderValueUnit(WideChar unit) {
  return unit == u'\t' || (unit >= 0x20 && unit <= 0x7E) || (unit >= 0x80 && unit <= 0xFF);
}

bool IsHostNameUnit(WideChar unit) {
  return IsAsciiLetter(unit) || IsAsciiDigit(unit) || unit == u'-' || unit == u'.';
}

// Narrows text whose every unit passes the test, one byte per unit.
template <class Accept>
bool Narrow(WideStringView text, Accept accept, std::string& bytes) {
  if (!std::all_of(text.begin(), text.end(), accept)) {
    return false;
  }
  bytes.assign(text.size(), '\0');
  std::transform(text.begin(), text.end(), bytes.begin(),
                 [](WideChar unit) { return static_cast<char>(unit); });
  return true;
}

// Whether a list line names the header, in either of libcurl's spellings.
bool IsNamed(std::string_view line, std::string_view name) {
  return line.size() > name.size() && (line[name.size()] == ':' || line[name.size()] == ';') &&
         std::equal(name.begin(), name.end(), line.begin(),
                    [](char a, char b) { return ToLowerAscii(a) == ToLowerAscii(b); });
}

// One caller line for libcurl. libcurl reads "Name:" with a blank value as "do not send Name",
// and writes "Name;" out as the empty header "Name:".
uint32_t ListLine(WideStringView line, std::string& bytes) {
  const size_t colon = line.find(u':');
  const WideStringView name = line.substr(0, colon);
  if (colon == WideStringView::npos || name.empty() ||
      !std::all_of(name.begin(), name.end(), IsHttpTokenChar<WideChar>) ||
      !Narrow(line, IsHeaderValueUnit, bytes)) {
    return kErrorInvalidParameter;
  }
  const WideStringView value = line.substr(colon + 1);
  if (std::all_of(value.begin(), value.end(),
                  [](WideChar unit) { return unit == u' ' || unit == u'\t'; })) {
    bytes.resize(colon);
    bytes.push_back(';');
  }
  return kErrorSuccess;
}

}  // namespace

uint32_t ServerOrigin(WideStringView host, uint16_t port, std::string& origin) {
  std::string name;
  if (host.empty() || !Narrow(host, IsHostNameUnit, name)) {
    return kErrorWinhttpInvalidUrl;
  }
  origin = "https://" + name + ":" + std::to_string(port) + "/";
  return kErrorSuccess;
}

uint32_t MethodBytes(WideStringView method, std::string& bytes) {
  return !method.empty() && Narrow(method, IsHttpTokenChar<WideChar>, bytes)
             ? kErrorSuccess
             : kErrorInvalidParameter;
}

uint32_t TargetBytes(WideStringView objectName, std::string& bytes) {
  return !objectName.empty() &&
                 Narrow(
                     objectName, [](WideChar unit) { return unit > 0x20 && unit < 0x7F; }, bytes)
             ? kErrorSuccess
             : kErrorWinhttpInvalidUrl;
}

uint32_t HeaderValueBytes(WideStringView text, std::string& bytes) {
  return Narrow(text, IsHeaderValueUnit, bytes) ? kErrorSuccess : kErrorInvalidParameter;
}

uint32_t HeaderListLines(WideStringView block, bool hasBody, std::vector<std::string>& lines) {
  constexpr WideStringView kLineEnd = KSRN_WIDE("\r\n");
  lines.clear();
  while (!block.empty()) {
    const size_t end = block.find(kLineEnd);
    const WideStringView line = block.substr(0, end);
    block = end == WideStringView::npos ? WideStringView() : block.substr(end + kLineEnd.size());
    if (line.empty()) {
      continue;
    }
    std::string bytes;
    if (const uint32_t error = ListLine(line, bytes); error != kErrorSuccess) {
      return error;
    }
    lines.push_back(std::move(bytes));
  }
  const auto suppress = [&](std::string_view name) {
    if (std::none_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return IsNamed(line, name); })) {
      lines.push_back(std::string(name) + ":");
    }
  };
  suppress("Accept");
  suppress("Expect");
  if (hasBody) {
    suppress("Content-Type");
  }
  return kErrorSuccess;
}

}  // namespace ksrn::net::curl
