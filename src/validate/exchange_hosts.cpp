#include "validate/exchange_hosts.h"

#include <iterator>

namespace ksrn {
namespace {

// Lowercase ASCII bare names. The order only decides how many comparisons a lookup makes, never
// the answer.
constexpr WideStringView kExchangeHosts[] = {
    KSRN_WIDE("api.binance.com"), KSRN_WIDE("open-api.bingx.com"),   KSRN_WIDE("api.bybit.com"),
    KSRN_WIDE("api.gateio.ws"),   KSRN_WIDE("api.coinex.com"),       KSRN_WIDE("www.okx.com"),
    KSRN_WIDE("api.kucoin.com"),  KSRN_WIDE("api.mexc.com"),         KSRN_WIDE("api.crypto.com"),
    KSRN_WIDE("api.kraken.com"),  KSRN_WIDE("sapi.xt.com"),          KSRN_WIDE("api.bitget.com"),
    KSRN_WIDE("api.lbkex.com"),   KSRN_WIDE("api.toobit.com"),       KSRN_WIDE("api.coinbase.com"),
    KSRN_WIDE("api.huobi.pro"),   KSRN_WIDE("api-aws.huobi.pro"),    KSRN_WIDE("api.upbit.com"),
    KSRN_WIDE("api.bithumb.com"), KSRN_WIDE("api-pub.bitfinex.com"), KSRN_WIDE("api.bitfinex.com"),
};
static_assert(std::size(kExchangeHosts) == 21);

// Only A to Z fold: a wider folding (Unicode case rules, or dropping the high byte) would let
// look-alike units such as U+212A KELVIN SIGN match an entry.
constexpr WideChar FoldAsciiCase(WideChar unit) noexcept {
  return unit >= 'A' && unit <= 'Z' ? static_cast<WideChar>(unit + ('a' - 'A')) : unit;
}

// Stops at the first difference, so a host is never read past the entry's length plus its NUL.
bool IsSameHost(const WideChar* host, WideStringView entry) noexcept {
  for (const WideChar expected : entry) {
    if (*host == 0 || FoldAsciiCase(*host) != expected) {
      return false;
    }
    ++host;
  }
  return *host == 0;
}

}  // namespace

bool IsAllowedExchangeHost(const WideChar* host) noexcept {
  if (host == nullptr) {
    return false;
  }
  for (const WideStringView entry : kExchangeHosts) {
    if (IsSameHost(host, entry)) {
      return true;
    }
  }
  return false;
}

}  // namespace ksrn
