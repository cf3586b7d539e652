// Misbehaving servers through the exports (the simulated exchange's /fault/ paths, its bad hosts
// and a few of its other hostile answers): every request ends with a sound code by its deadline,
// a broken response never reads as success, each says how far it got (never "not sent" once its
// request may have been written), and the whole table runs at once, as a busy host would.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "../../support/wine.h"
#include "export_test_support.h"

namespace ksrn::test {
namespace {

using Clock = std::chrono::steady_clock;

// Rows that must end on their own get a budget they never come near; rows about the deadline
// get a short one that the fault outlasts.
constexpr int32_t kOwnEndMs = 20000;
constexpr int32_t kShortMs = 1500;
// How late after its deadline a request may end, measured from its submission.
constexpr int64_t kLateMs = 100;

struct Fault {
  const char* path;
  std::vector<uint32_t> codes;           // the sound outcomes; 0 only where the response is whole
  std::vector<uint32_t> wineCodes = {};  // when Wine differs: its outcomes
  const char* wineDifference = "";       // and why
  int32_t timeoutMs = kOwnEndMs;
  const char* body = "ok";  // the body of a successful outcome
  const char* host = "api.kraken.com";
  // TLS faults are armed by a request to the same host first (a handshake cannot see a path);
  // each has a host of its own, which no other row uses.
  const char* arm = nullptr;
  // How far the request got: 0 not sent, 1 unknown, 2 answered. Where Wine's outcome differs,
  // the delivery must match the outcome: answered when a head was kept, unknown when none was.
  int32_t delivery = KSRN_DELIVERY_ANSWERED;
  bool silent = false;  // the server sends no byte back: no FIRST_BYTE mark
};

constexpr int32_t kNotSent = KSRN_DELIVERY_NOT_SENT;
constexpr int32_t kUnknown = KSRN_DELIVERY_UNKNOWN;

constexpr uint32_t kTimeout = KSRN_ERROR_WINHTTP_TIMEOUT;
constexpr uint32_t kBroken = KSRN_ERROR_WINHTTP_CONNECTION_ERROR;
constexpr uint32_t kInvalid = KSRN_ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
constexpr uint32_t kShort = KSRN_ERROR_READ_FAULT;
constexpr uint32_t kTooLarge = KSRN_ERROR_FILE_TOO_LARGE;
constexpr uint32_t kNoText = KSRN_ERROR_NO_UNICODE_TRANSLATION;
constexpr uint32_t kCertificate = KSRN_ERROR_WINHTTP_SECURE_FAILURE;
constexpr uint32_t kWineCertificate = KSRN_ERROR_WINHTTP_SECURE_CHANNEL_ERROR;

// What Wine 8's WinHTTP does differently, and so the Windows library under it.
constexpr const char* kWineCutHead =
    "Wine 8 ends a head cut short at the end of its last whole line: the library refuses that "
    "head as it refuses any head without its blank line";
constexpr const char* kWineEarlyReset =
    "Wine 8 reports a reset before the head as 12030 or, as it happens to read it, as 12152";
constexpr const char* kWineChunks =
    "Wine 8 may take the end of the connection for the end of a chunked body, and a malformed size "
    "line for the final chunk: the body arrives as far as it got";
constexpr const char* kWineCertificates = "Wine 8 reports a failed certificate check as 12157";
constexpr const char* kWineHandshakeClosed =
    "a WinHTTP call may go on after its handle is closed, so a request closed during its "
    "handshake may yet be written: unknown";
constexpr const char* kWineEncoded =
    "Wine 8 never decodes a content coding: the body arrives as sent, and as bytes it is whole";

const std::vector<Fault>& Faults() {
  static const std::vector<Fault> faults = {
      // The deadline rows come first, so that they hold workers from their submission on.
      {"/slow-body/1000/1/100", {kTimeout}, {}, "", kShortMs},
      {.path = "/fault/tls/stall",
       .codes = {kTimeout},
       .wineDifference = kWineHandshakeClosed,
       .timeoutMs = kShortMs,
       .host = "api.upbit.com",
       .arm = "/fault/tls/stall",
       .delivery = kNotSent},
      {.path = "/delay-headers/10000",
       .codes = {kTimeout},
       .timeoutMs = kShortMs,
       .delivery = kUnknown},
      {.path = "/fault/tls/close",
       .codes = {kInvalid, kBroken},
       .host = "api-pub.bitfinex.com",
       .arm = "/fault/tls/close",
       .delivery = kUnknown},
      {.path = "/",
       .codes = {KSRN_ERROR_WINHTTP_CANNOT_CONNECT},
       .host = "api.bithumb.com",
       .delivery = kNotSent},
      {.path = "/",
       .codes = {kCertificate},
       .wineCodes = {kWineCertificate},
       .wineDifference = kWineCertificates,
       .host = "api.toobit.com",
       .delivery = kNotSent},
      {.path = "/",
       .codes = {kCertificate},
       .wineCodes = {kWineCertificate},
       .wineDifference = kWineCertificates,
       .host = "api.lbkex.com",
       .delivery = kNotSent},
      {.path = "/",
       .codes = {kCertificate},
       .wineCodes = {kWineCertificate},
       .wineDifference = kWineCertificates,
       .host = "sapi.xt.com",
       .delivery = kNotSent},
      {.path = "/fault/reset/start",
       .codes = {kBroken},
       .wineCodes = {kBroken, kInvalid},
       .wineDifference = kWineEarlyReset,
       .delivery = kUnknown,
       .silent = true},
      {.path = "/fault/close/start", .codes = {kInvalid}, .delivery = kUnknown, .silent = true},
      {.path = "/fault/reset/status-line",
       .codes = {kBroken},
       .wineCodes = {kBroken, kInvalid},
       .wineDifference = kWineEarlyReset,
       .delivery = kUnknown},
      {.path = "/fault/close/status-line", .codes = {kInvalid}, .delivery = kUnknown},
      {.path = "/fault/reset/head",
       .codes = {kBroken},
       .wineCodes = {kInvalid},
       .wineDifference = kWineCutHead,
       .delivery = kUnknown},
      {.path = "/fault/close/head", .codes = {kInvalid}, .delivery = kUnknown},
      {"/fault/reset/body", {kBroken, kShort}},
      {"/fault/close/body", {kBroken, kShort}},
      {"/fault/reset/chunked", {kBroken, kShort}, {kBroken, 0}, kWineChunks},
      {"/fault/close/chunked", {kBroken, kShort}, {0}, kWineChunks},
      {"/close-early/500", {kBroken, kShort}},  // shorter than its Content-Length, clean close
      {"/fault/chunked/bad-size", {kBroken, kInvalid}, {0}, kWineChunks},
      {"/fault/chunked/no-last-chunk", {kBroken, kShort}, {0}, kWineChunks},
      {"/fault/gzip/invalid", {kInvalid}, {0}, kWineEncoded},
      {"/fault/gzip/bomb", {kTooLarge}, {0}, kWineEncoded},
      {.path = "/fault/head/endless",
       .codes = {KSRN_ERROR_WINHTTP_HEADER_SIZE_OVERFLOW},
       .wineCodes = {kInvalid},
       .wineDifference = "Wine 8 sets no limit on a head: it reads until the server gives up, then "
                         "ends the head at its last whole line, which the library refuses",
       .delivery = kUnknown},
      {"/headers/large/65536", {0}},
      {"/headers/large/65537", {kTooLarge}},
      {.path = "/fault/head/nul", .codes = {kInvalid}, .delivery = kUnknown},
      {"/fault/head/bare-lf", {0}},
      {"/fault/head/obs-fold",
       {0},
       {0, kInvalid},
       "Wine 8 ends the head at a continuation line: the rest of the head reads as the body, or, "
       "when the continuation arrives apart, the head is refused as cut short"},
      {.path = "/fault/status/not-http", .codes = {kInvalid}, .delivery = kUnknown},
      {"/fault/continue/1000",
       {0},
       {kInvalid},
       "Wine 8 takes a 100 Continue for the final response and fails on what follows it"},
      {.path = "/fault/switch",
       .codes = {kInvalid},
       .wineCodes = {0},
       .wineDifference = "Wine 8 takes an unsolicited 101 for the final response: outcome 0, "
                         "status 101, no success",
       .delivery = kUnknown},
  };
  return faults;
}

std::string CodesText(const std::vector<uint32_t>& codes) {
  std::string text;
  for (uint32_t code : codes) {
    text += (text.empty() ? "" : " or ") + std::to_string(code);
  }
  return text;
}

// The header block as documented: status line first, CR LF lines, a blank line, no NUL.
bool IsWellFormedHead(const std::string& head) {
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\0' || (head[i] == '\n' && (i == 0 || head[i - 1] != '\r'))) {
      return false;
    }
  }
  return head.rfind("HTTP/1.", 0) == 0 && head.size() >= 4 &&
         head.compare(head.size() - 4, 4, "\r\n\r\n") == 0;
}

bool Contains(const std::vector<uint32_t>& codes, uint32_t code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// Marks follow one another and say as much as the delivery: nothing written means no SENT mark,
// an answer means every mark to the first byte; whatever connected names the bench's address.
void ExpectMarksFitTheDelivery(int32_t id, int32_t delivery, int64_t elapsedMs) {
  const KsrnApi& api = Api();
  std::vector<int32_t> marks(KSRN_MARK_DONE + 1, -1);
  int32_t previous = 0;
  for (int32_t mark = KSRN_MARK_STARTED; mark <= KSRN_MARK_DONE; ++mark) {
    marks[mark] = api.GetTimingUs(id, mark);
    EXPECT_EQ(api.GetLastError(), 0u);
    if (marks[mark] >= 0) {
      EXPECT_GE(marks[mark], previous) << "mark " << mark << " before the one ahead of it";
      previous = marks[mark];
    }
  }
  EXPECT_GE(marks[KSRN_MARK_STARTED], 0);
  EXPECT_LE(marks[KSRN_MARK_DONE] / 1000, elapsedMs);
  if (delivery == KSRN_DELIVERY_NOT_SENT) {
    EXPECT_EQ(marks[KSRN_MARK_SENT], -1);
  }
  if (delivery == KSRN_DELIVERY_ANSWERED) {
    for (int32_t mark = KSRN_MARK_STARTED; mark <= KSRN_MARK_FIRST_BYTE; ++mark) {
      EXPECT_GE(marks[mark], 0) << "mark " << mark;
    }
  }
  KSRN_CHAR address[64] = {};
  const int32_t length = api.CopyRemoteAddress(id, address, 64);
  EXPECT_EQ(api.GetLastError(), 0u);
  if (marks[KSRN_MARK_CONNECTED] >= 0) {
    EXPECT_EQ(Text(address).substr(0, 4), Widen("127.")) << "the bench listens on loopback";
  } else {
    EXPECT_EQ(length, 1) << "no connection, no address";
  }
}

TEST_F(ExportTest, EveryFaultEndsWithASoundCodeByItsDeadline) {
  const bool wine = IsWine();
  for (const Fault& fault : Faults()) {
    if (fault.arm == nullptr) {
      continue;
    }
    const int32_t id = api.Get(BenchUrl(fault.host, fault.arm).c_str(), kFinishMs);
    ASSERT_TRUE(WaitReady(id));
    ASSERT_EQ(CopyBody(id), "armed") << fault.host;
    api.Free(id);
  }

  struct Running {
    int32_t id;
    Clock::time_point submitted;
    Clock::time_point ready;
  };
  std::vector<Running> running;
  for (const Fault& fault : Faults()) {
    const Clock::time_point submitted = Clock::now();
    const int32_t id = api.Get(BenchUrl(fault.host, fault.path).c_str(), fault.timeoutMs);
    ASSERT_NE(id, 0) << fault.path << ": last error " << api.GetLastError();
    running.push_back({id, submitted, {}});
  }
  for (size_t left = running.size(); left > 0;) {
    for (Running& request : running) {
      if (request.ready == Clock::time_point{} && api.IsReady(request.id) == 1) {
        request.ready = Clock::now();
        --left;
      }
    }
    ASSERT_LT(Clock::now() - running.front().submitted, 60s) << "a request never ended";
    KsrnSleepMs(1);
  }

  for (size_t i = 0; i < running.size(); ++i) {
    const Fault& fault = Faults()[i];
    const int32_t id = running[i].id;
    SCOPED_TRACE(fault.path);
    const uint32_t code = api.GetRequestError(id);
    const int64_t elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  running[i].ready - running[i].submitted)
                                  .count();
    const int32_t status = api.GetStatusCode(id);
    const std::string head = CopyHeaders(id);
    const std::string body = CopyBody(id);
    const int32_t delivery = api.GetDelivery(id);
    EXPECT_EQ(api.GetLastError(), 0u);
    std::printf("fault %-20s %-28s %5" PRIu32 " after %5" PRId64 " ms, status %3" PRId32
                ", delivery %" PRId32 ", head %6zu bytes, body %7zu bytes\n",
                fault.host, fault.path, code, elapsedMs, status, delivery, head.size(),
                body.size());
    const bool wineDiffers = wine && !fault.wineCodes.empty();
    const std::vector<uint32_t>& codes = wineDiffers ? fault.wineCodes : fault.codes;
    EXPECT_TRUE(Contains(codes, code)) << "outcome " << code << ", expected " << CodesText(codes)
                                       << " " << (wineDiffers ? fault.wineDifference : "");
    EXPECT_LE(elapsedMs, fault.timeoutMs + kLateMs);
    if (!wine || (fault.wineCodes.empty() && *fault.wineDifference == '\0')) {
      EXPECT_EQ(delivery, fault.delivery);
    } else if (fault.delivery != kNotSent) {
      EXPECT_EQ(delivery, head.empty() ? kUnknown : KSRN_DELIVERY_ANSWERED) << fault.wineDifference;
    } else {
      EXPECT_NE(delivery, KSRN_DELIVERY_ANSWERED) << fault.wineDifference;
    }
    ExpectMarksFitTheDelivery(id, delivery, elapsedMs);
    if (fault.silent) {
      EXPECT_EQ(api.GetTimingUs(id, KSRN_MARK_FIRST_BYTE), -1) << "no byte came back";
    }
    EXPECT_LE(body.size(), 4u << 20) << "more body kept than the limit allows";
    if (code == kTimeout) {
      EXPECT_GE(elapsedMs, fault.timeoutMs - 20) << "out of time before the deadline";
    }
    EXPECT_EQ(Answered(api.Succeeded(id)),
              (Answer{code == 0 && status >= 200 && status <= 299 ? 1 : 0, 0}));
    if (code == 0) {
      EXPECT_TRUE(IsWellFormedHead(head)) << head;
      if (!wineDiffers) {
        EXPECT_EQ(body, fault.body);
      }
    }
    EXPECT_EQ(Answered(api.Free(id)), (Answer{1, 0}));
  }
  EXPECT_EQ(Answered(api.GetPendingCount()), (Answer{0, 0}));
}

}  // namespace
}  // namespace ksrn::test
