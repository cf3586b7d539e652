#include "validate/exchange_hosts.h"

#include <gtest/gtest.h>

namespace ksrn {
namespace {

const WideChar* const kAllowlisted[] = {
    KSRN_WIDE("api.binance.com"), KSRN_WIDE("open-api.bingx.com"),   KSRN_WIDE("api.bybit.com"),
    KSRN_WIDE("api.gateio.ws"),   KSRN_WIDE("api.coinex.com"),       KSRN_WIDE("www.okx.com"),
    KSRN_WIDE("api.kucoin.com"),  KSRN_WIDE("api.mexc.com"),         KSRN_WIDE("api.crypto.com"),
    KSRN_WIDE("api.kraken.com"),  KSRN_WIDE("sapi.xt.com"),          KSRN_WIDE("api.bitget.com"),
    KSRN_WIDE("api.lbkex.com"),   KSRN_WIDE("api.toobit.com"),       KSRN_WIDE("api.coinbase.com"),
    KSRN_WIDE("api.huobi.pro"),   KSRN_WIDE("api-aws.huobi.pro"),    KSRN_WIDE("api.upbit.com"),
    KSRN_WIDE("api.bithumb.com"), KSRN_WIDE("api-pub.bitfinex.com"), KSRN_WIDE("api.bitfinex.com"),
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
  for (const WideChar* host : kAllowlisted) {
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
