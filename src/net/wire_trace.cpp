#include <algorithm>

#include "net/http_ops.h"

namespace ksrn::net {

// The first writer claims the buffer, so a reader never sees half an address and a second
// report (a retried connect) cannot tear the first.
void WireTrace::SetRemoteAddress(WideStringView text) noexcept {
  int expected = kNoAddress;
  if (!addressState.compare_exchange_strong(expected, kWritingAddress)) {
    return;
  }
  const size_t length = std::min(text.size(), kAddressUnits - 1);
  std::copy_n(text.data(), length, address.begin());
  address[length] = 0;
  addressState.store(kAddressKept);
}

void WireTrace::CopyRemoteAddress(std::array<WideChar, kAddressUnits>& out) const noexcept {
  if (addressState.load() == kAddressKept) {
    out = address;
  } else {
    out[0] = 0;
  }
}

}  // namespace ksrn::net
