// libFuzzer target for ValidateHeaders, over inputs decoded as fuzz_input.h says. An accepted
// block must be what the HTTP layer can send as it stands: CR LF separated "name:value" lines
// (one final CR LF allowed), token names, no CR, LF or NUL but the separators, no name the layer
// owns. A refused block carries 13 or 5.
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "platform/win32_errors.h"
#include "validate/request_validation.h"

namespace ksrn {
namespace {

using fuzz::Require;

bool IsToken(WideChar unit) {
  return (unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'z') ||
         (unit >= 'A' && unit <= 'Z') ||
         (unit < 0x80 &&
          std::string_view("!#$%&'*+-.^_`|~").find(char(unit)) != std::string_view::npos);
}

bool IsOwnedName(WideStringView name) {
  for (std::string_view owned : {"host", "connection", "content-length", "proxy-connection",
                                 "transfer-encoding", "proxy-authorization"}) {
    bool same = name.size() == owned.size();
    for (size_t i = 0; same && i < name.size(); ++i) {
      same = (name[i] | 0x20) == owned[i];
    }
    if (same) {
      return true;
    }
  }
  return false;
}

void CheckAccepted(WideStringView block) {
  if (block.size() >= 2 && block.substr(block.size() - 2) == KSRN_WIDE("\r\n")) {
    block.remove_suffix(2);
  }
  for (size_t start = 0; start <= block.size();) {
    const size_t end = std::min(block.find(KSRN_WIDE("\r\n"), start), block.size());
    const WideStringView line = block.substr(start, end - start);
    const size_t colon = line.find(':');
    Require(colon != WideStringView::npos && colon > 0);
    for (size_t i = 0; i < colon; ++i) {
      Require(IsToken(line[i]));
    }
    Require(!IsOwnedName(line.substr(0, colon)));
    for (const WideChar unit : line) {
      Require(unit != '\r' && unit != '\n' && unit != 0);
    }
    start = end + 2;
  }
}

}  // namespace
}  // namespace ksrn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<ksrn::WideChar> units = ksrn::fuzz::DecodeUnits(data, size);
  const ksrn::WideStringView block(units.data(), units.size());
  uint32_t error = 12345;
  if (ksrn::ValidateHeaders(block, error)) {
    ksrn::fuzz::Require(error == ksrn::kErrorSuccess);
    if (!block.empty()) {
      ksrn::CheckAccepted(block);
    }
  } else {
    ksrn::fuzz::Require(error == ksrn::kErrorInvalidData || error == ksrn::kErrorAccessDenied);
  }
  return 0;
}
