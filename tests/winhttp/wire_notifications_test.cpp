// What the facade makes of WinHTTP's notifications, fed to its status callback as a script on a
// request that never connects: whether the request may have been written, which marks are
// stamped and which address is kept, also when the deprecated notifications never come. And the
// peer's address as text, the way Linux gives it.
#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "net/winhttp/connection_info.h"
#include "net/winhttp/handle_context.h"

namespace ksrn::net::winhttp {
namespace {

TEST(ConnectionInfoTest, AddressesReadAsOnLinux) {
  const struct {
    std::array<uint16_t, 8> groups;
    const wchar_t* text;
  } cases[] = {
      {{0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}, L"2001:db8::1"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, L"::"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, L"::1"},
      {{0xfe80, 0, 0, 0, 0, 0, 0, 0}, L"fe80::"},
      {{0x2001, 0xDB8, 0, 0xA, 0xB, 0xC, 0xD, 0xEF}, L"2001:db8:0:a:b:c:d:ef"},
      {{0x2001, 0, 0, 1, 0, 0, 0, 1}, L"2001:0:0:1::1"},
      {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, L"2001:db8::1:0:0:1"},
      {{0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0201}, L"::ffff:192.0.2.1"},
  };
  for (const auto& c : cases) {
    uint8_t bytes[16];
    for (size_t i = 0; i < 16; ++i) {
      bytes[i] = static_cast<uint8_t>(c.groups[i / 2] >> (i % 2 == 0 ? 8 : 0));
    }
    EXPECT_EQ(FormatIpAddress(bytes, 16), c.text);
  }
  const uint8_t ipv4[] = {203, 0, 113, 7};
  EXPECT_EQ(FormatIpAddress(ipv4, 4), L"203.0.113.7");
  EXPECT_EQ(FormatIpAddress(ipv4, 3), L"");
  for (const wchar_t* text : {L"[2001:db8::1]", L"2001:db8::1%12", L"[2001:db8::1%eth0]"}) {
    EXPECT_EQ(TrimAddressText(text), L"2001:db8::1") << text;
  }
}

constexpr const wchar_t* kHeadPeer = L"127.0.0.2";
constexpr DWORD kStatuses[] = {
    WINHTTP_CALLBACK_STATUS_NAME_RESOLVED,        WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER,
    WINHTTP_CALLBACK_STATUS_SENDING_REQUEST,      WINHTTP_CALLBACK_STATUS_REQUEST_SENT,
    WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED,
    WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE,    WINHTTP_CALLBACK_STATUS_REQUEST_ERROR};

class NotificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    connection = WinHttpConnect(session, L"localhost", 443, 0);
    ASSERT_NE(connection, nullptr);
  }
  void TearDown() override {
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
  }

  // Plays notifications to the callback from inside the call, as WinHTTP may: R name resolved,
  // C<address> connected, S sending, T<bytes> sent, D send completed, V<bytes> response
  // received, H head available, E<code> the call failed; P notes the time after a pause.
  uint32_t Play(HandleContext& context, AsyncCall call, const std::wstring& notes) {
    const auto start = [&](HINTERNET handle) {
      std::wistringstream words(notes);
      for (std::wstring word; words >> word;) {
        const std::wstring rest = word.substr(1);
        DWORD value = word[0] == L'C' ? 0 : std::wcstoul(rest.c_str(), nullptr, 0);
        WINHTTP_ASYNC_RESULT failure{
            static_cast<DWORD_PTR>(call == AsyncCall::Send ? API_SEND_REQUEST
                                                           : API_RECEIVE_RESPONSE),
            value};
        void* information = word[0] == L'E' ? static_cast<void*>(&failure) : &value;
        const size_t kind = std::wstring_view(L"RCSTDVHE").find(word[0]);
        if (kind == std::wstring_view::npos) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          pausedAt = SteadyNow();
          continue;
        }
        if (word[0] == L'C') {
          information = const_cast<wchar_t*>(rest.c_str());
        }
        StatusCallback(handle, reinterpret_cast<DWORD_PTR>(&context), kStatuses[kind], information,
                       word[0] == L'E' ? sizeof failure : sizeof value);
      }
      return TRUE;
    };
    return context.Await(call, start, [](const Completion&) { return kErrorSuccess; });
  }

  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  SteadyTime pausedAt = 0;
};

TEST_F(NotificationTest, TheTraceNeverRestsOnANotificationThatMayNotCome) {
  // The send's notes | the receive's | the head's status, u when no TLS session carried it, n
  // when WinHTTP names no connection for it.
  const struct {
    const char* name;
    const wchar_t* script;
    uint32_t error;  // of the last step
    bool written;
    const char* marks;  // reached: Resolved, Connected, Secured, sent (T), First byte
    const wchar_t* address;
    bool mayReuse = false;  // the request may go out on a kept connection
    bool reused = false;
  } scripts[] = {
      {"only completions", L"D | H | 200", 0, true, "F", kHeadPeer},
      {"a send out of time", L"R C127.0.0.1 E12002", 12002, true, "RC", L"127.0.0.1"},
      {"refused", L"R E12029", 12029, false, "R", L""},
      {"certificate", L"R C127.0.0.1 E12175", 12175, false, "RC", L"127.0.0.1"},
      {"Wine's failed handshake", L"C127.0.0.1 E0x80090304", 0x80090304, false, "C", L"127.0.0.1"},
      {"logon failed", L"R C127.0.0.1 E12015", 12029, true, "RC", L"127.0.0.1"},
      {"logon leg due", L"D | E12032", 12029, true, "", L""},
      {"reset before a byte", L"C127.0.0.1 S T300 D | V0 E12030", 12030, true, "CST", L"127.0.0.1"},
      {"second connection", L"R C192.0.2.1 P C[2001:db8::1%4] S D | E12002", 12002, true, "RCS",
       L"2001:db8::1"},
      {"a proxy's 407", L"R C127.0.0.1 S T300 D | V90 H | 407u", 12029, false, "RC", kHeadPeer},
      {"a 407 over TLS", L"R C127.0.0.1 S T300 D | V90 H | 407", 0, true, "RCSTF", kHeadPeer},
      {"an unnamed connection", L"C127.0.0.1 S D | H | 200n", 0, true, "CSF", L"127.0.0.1"},
      {"a kept connection", L"S T300 D | V90 H | 200", 0, true, "TF", kHeadPeer, true, true},
      {"a kept connection closed unanswered", L"S T300 D | V0 E12152", 12030, true, "T", L"", true,
       true},
      {"a kept connection given up", L"S P R C127.0.0.1 S T300 D | H | 200", 0, true, "RCSTF",
       kHeadPeer, true, false},
      {"none to keep", L"R C127.0.0.1 S T300 D | V90 H | 200", 0, true, "RCSTF", kHeadPeer, true,
       false},
  };
  for (const auto& s : scripts) {
    SCOPED_TRACE(s.name);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/", nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    auto context =
        std::make_shared<HandleContext>(HandleKind::Request, std::make_shared<SessionTimeouts>());
    context->mayReuseConnection = s.mayReuse;
    ASSERT_EQ(context->Adopt(request), kErrorSuccess);
    auto trace = std::make_shared<WireTrace>();
    context->SetTrace(trace);
    pausedAt = 0;

    std::wistringstream phases(s.script);
    uint32_t error = kErrorSuccess;
    std::wstring phase;
    for (int i = 0; error == kErrorSuccess && std::getline(phases, phase, L'|'); ++i) {
      error = i == 0 ? Play(*context, AsyncCall::Send, phase)
              : i == 1
                  ? context->ReceiveFailure(Play(*context, AsyncCall::Receive, phase))
                  : context->AcceptHead(std::wcstoul(phase.c_str(), nullptr, 10),
                                        phase.find(L'u') == std::wstring::npos,
                                        phase.find(L'n') == std::wstring::npos ? kHeadPeer : L"");
    }
    context->Close();
    context->OnHandleClosing();  // WinHTTP calls back no one here

    EXPECT_EQ(error, s.error);
    EXPECT_EQ(trace->requestMayBeWritten.load(), s.written);
    EXPECT_EQ(trace->connectionReused.load(), s.reused);
    const std::pair<char, SteadyTime> reached[] = {
        {'R', trace->resolvedAt.load()},  {'C', trace->connectedAt.load()},
        {'S', trace->securedAt.load()},   {'T', trace->sentAt.load()},
        {'F', trace->firstByteAt.load()},
    };
    for (const auto& [mark, at] : reached) {
      EXPECT_EQ(at != 0, std::string(s.marks).find(mark) != std::string::npos) << mark;
    }
    EXPECT_GE(trace->connectedAt.load(), pausedAt) << "the connection that was kept";
    std::array<WideChar, WireTrace::kAddressUnits> address{};
    trace->CopyRemoteAddress(address);
    EXPECT_EQ(WideString(address.data()), s.address);
  }
}

}  // namespace
}  // namespace ksrn::net::winhttp
