#include "validate/exchange_hosts.h"

#include <gtest/gtest.h>

namespace ksrn {
namespace {

constexpr std::string_view kAllowlisted[] = {
#include "validate/exchange_hosts.inc"
};

WideString WithCase(WideString host, bool upperEven, bool upperOdd) {
  for (size_t i = 0; i < host.size(); ++i) {
    const bool upper = i % 2 == 0 ? upperEven : upperOdd;
    if (upper && host[i] >= 'a' && host[i] <= 'z') {
      host[i] = static_cast<WideChar>(host[i] - 0x20);
    }
  }
  return host;
}

TEST(ExchangeHostTest, AcceptsEveryEntryInAnyCase) {
  for (const std::string_view entry : kAllowlisted) {
    const WideString host(entry.begin(), entry.end());
    for (const WideString& spelling : {WithCase(host, false, false), WithCase(host, true, true),
                                       WithCase(host, true, false), WithCase(host, false, true)}) {
      EXPECT_TRUE(IsAllowedExchangeHost(spelling.c_str()))
          << std::string(spelling.begin(), spelling.end());
    }
  }
}

TEST(ExchangeHostTest, RefusesEverythingButWholeNames) {
  const WideString refused[] = {
      KSRN_WIDE(""),
      KSRN_WIDE("api.binance.com."),          // fully qualified form
      KSRN_WIDE("eu.api.binance.com"),        // extra label
      KSRN_WIDE("binance.com"),               // first label dropped
      KSRN_WIDE("api.binance"),               // last label dropped
      KSRN_WIDE("api.binance.com:443"),       // port appended
      KSRN_WIDE("api.binance.comx"),          // starts with an entry
      KSRN_WIDE("xapi.binance.com"),          // ends with an entry
      KSRN_WIDE("api.binance.com.evil.net"),  // entry as a prefix label
      KSRN_WIDE("api.binance.co"),            // entry shortened by one unit
      KSRN_WIDE("api.bitfinex.com.api.bitfinex.com"),
      KSRN_WIDE(" api.binance.com"),
      KSRN_WIDE("*.binance.com"),
      KSRN_WIDE("127.0.0.1"),
      KSRN_WIDE("0.0.0.0"),
      KSRN_WIDE("[::1]"),
      KSRN_WIDE("::1"),
      KSRN_WIDE("[2001:db8::1]"),
      KSRN_WIDE("api%2Ebinance.com"),  // escapes are not decoded
      // Only A to Z fold: not Unicode case rules, not a bitwise OR of 0x20 (which would
      // turn CR into "-" and SO into "."), not the low byte of a wider unit.
      KSRN_WIDE("api.\x212Araken.com"),
      KSRN_WIDE("ap\x0130.binance.com"),
      KSRN_WIDE("open\x0D"
                "api.bingx.com"),
      KSRN_WIDE("api\x0E"
                "binance\x0E"
                "com"),
      WideString(KSRN_WIDE("api.binance.co")) + static_cast<WideChar>(0x0100 + 'm'),
  };
  for (const WideString& host : refused) {
    EXPECT_FALSE(IsAllowedExchangeHost(host.c_str())) << std::string(host.begin(), host.end());
  }
  EXPECT_FALSE(IsAllowedExchangeHost(nullptr));
}

}  // namespace
}  // namespace ksrn
