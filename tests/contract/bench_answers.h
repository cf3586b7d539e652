// What the operation-set contract tests ask of the hermetic bench, and the one hook each
// implementation provides: the platform's operation set gets its answers from the simulated
// exchange (the hook does nothing), the fake is scripted to answer the same paths the same way.
// The bench ignores query strings, so a query can give the fake a path of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/wide_string.h"
#include "platform/win32_errors.h"

namespace ksrn::contract {

inline constexpr const WideChar* kGoodHost = KSRN_WIDE("api.binance.com");

// 200 with kBodyBytes pattern bytes: more than the platform buffers before it pauses.
inline constexpr const WideChar* kBodyPath = KSRN_WIDE("/bytes/300000");
inline constexpr const WideChar* kChunkedBodyPath = KSRN_WIDE("/bytes/300000?chunked=1");
inline constexpr size_t kBodyBytes = 300000;
// Compressed when asked for, to a few kilobytes that decode into a burst far above that limit.
inline constexpr const WideChar* kGzipPath = KSRN_WIDE("/gzip/1000000");
inline constexpr const WideChar* kDeflatePath = KSRN_WIDE("/deflate/1000000");
inline constexpr size_t kEncodedBodyBytes = 1000000;
// 204, no body.
inline constexpr const WideChar* kNoContentPath = KSRN_WIDE("/status/204");
// 404 with the body kNotFoundBody.
inline constexpr const WideChar* kNotFoundPath = KSRN_WIDE("/status/404");
inline constexpr const char* kNotFoundBody = "status 404";
// 200, body "ok", the header line kGreetingLine in UTF-8 on the wire.
inline constexpr const WideChar* kUtf8HeaderPath = KSRN_WIDE("/headers/utf8");
inline constexpr const WideChar* kGreetingLine =
    KSRN_WIDE("X-Greeting: Gr\u00FC\u00DFe \u20AC\r\n");
// The head comes after 10 s: a receive blocks until closed.
inline constexpr const WideChar* kSlowHeadPath = KSRN_WIDE("/delay-headers/10000");
// The head comes after 9 s, past the kShortTimeoutMs given to every wait.
inline constexpr const WideChar* kLateHeadPath = KSRN_WIDE("/delay-headers/9000");
inline constexpr int kShortTimeoutMs = 1000;
// The head and one body byte at once, the second byte 10 s later.
inline constexpr const WideChar* kSlowBodyPath = KSRN_WIDE("/slow-body/2/1/10000");

// The request as received, as the body: its request line opens it. The query holds what a
// signed query may hold and WinHTTP would escape unless told not to.
inline constexpr const WideChar* kEchoQueryPath =
    KSRN_WIDE("/echo?q=[\"a\",{\"b\":1}]|^<>&s=%2F%zz");

// The good hosts' certificate on ports that speak one TLS version only.
inline constexpr uint16_t kTls11OnlyPort = 4411;
inline constexpr const WideChar* kTls11OnlyPath = KSRN_WIDE("/status/200?tls1.1-only");
inline constexpr uint16_t kTls13OnlyPort = 4413;
inline constexpr const WideChar* kTls13OnlyPath = KSRN_WIDE("/status/200?tls1.3-only");

// A host that fails at send, with the code the send fails with.
struct FailingHost {
  const char* name;
  const WideChar* host;
  const WideChar* path;
  uint32_t error;
};

inline constexpr FailingHost kFailingHosts[] = {
    {"refused", KSRN_WIDE("api.bithumb.com"), KSRN_WIDE("/status/200?refused"),
     kErrorWinhttpCannotConnect},
    {"untrusted", KSRN_WIDE("api.toobit.com"), KSRN_WIDE("/status/200?untrusted"),
     kErrorWinhttpSecureFailure},
    {"wrong name", KSRN_WIDE("api.lbkex.com"), KSRN_WIDE("/status/200?wrong-name"),
     kErrorWinhttpSecureFailure},
    {"expired", KSRN_WIDE("sapi.xt.com"), KSRN_WIDE("/status/200?expired"),
     kErrorWinhttpSecureFailure},
    {"unresolvable", KSRN_WIDE("nowhere.kestrune.test"), KSRN_WIDE("/status/200?unresolvable"),
     kErrorWinhttpNameNotResolved},
};

// The bench's body bytes: byte i is (i * 7 + 3) % 251.
inline std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
  }
  return bytes;
}

// Makes the operation set answer the paths above as the bench does; run before every test.
void PrepareOperationSet();

}  // namespace ksrn::contract
