// The HTTP operation set: the small, blocking, WinHTTP-shaped interface the transfer is written
// against. Each platform links exactly one implementation (WinHTTP on Windows, libcurl on Linux,
// or the scriptable fake in tests), so the transfer and the engine carry no platform code.
//
// Contract shared by every implementation:
// - Handles are opaque. A session comes from HttpOpen, a connection from HttpConnect on a
//   session, a request from HttpOpenRequest on a connection. One request per connection.
// - Every operation except HttpCloseHandle and the two last-error calls is called by the one
//   thread that runs the transfer, and may block. On failure it returns false (or null) and
//   leaves a Win32 code in the calling thread's last error (HttpLastError).
// - HttpCloseHandle may be called from any thread at any time, also while the owning thread is
//   blocked in an operation on that handle: the blocked operation then fails at once with
//   kErrorWinhttpOperationCancelled (12017). Closing is how cancellation and the deadline
//   watchdog abort a transfer.
// - A handle value stays safe to pass after it was closed: any later operation on it fails with
//   kErrorInvalidHandle (6) or 12017 and never touches freed memory. Closing a handle twice is
//   harmless (the second close fails with 6).
// - No single wait (resolve, connect, send, receive) lasts longer than the time-out set on the
//   session; time-outs set on a session apply to every later wait of the requests opened under
//   it. A wait that runs out fails with kErrorWinhttpTimeout (12002).
// - Network failures carry the codes WinHTTP reports: 12007 name not resolved, 12029 cannot
//   connect, 12002 time-out, 12175 TLS or certificate failure, 12030 connection broken,
//   12152 invalid server response.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/steady_clock.h"
#include "platform/wide_string.h"

namespace ksrn::net {

using NetHandle = void*;

// HttpSetOption options and values (WinHTTP's numbers).
inline constexpr uint32_t kOptionDisableFeature = 63;
inline constexpr uint32_t kDisableRedirects = 2;
inline constexpr uint32_t kOptionDecompression = 118;
inline constexpr uint32_t kDecompressionGzipAndDeflate = 3;

inline constexpr const WideChar* kUserAgent = KSRN_WIDE("Kestrune/1.0");

// What one request's exchange did on the wire, as only the operation set can see it. Written by
// the operation set, from any of its threads and also after the handle was closed, which is why
// it is shared and lock-free; read by the transfer. Times are steady-clock nanoseconds, 0 while
// not reached.
//
// requestMayBeWritten is the fact a host's resend decision rests on: once any byte of the
// request may have reached a connection it is set, and it is never cleared, but by the
// operation that learns the bytes it counted were a proxy's CONNECT that opened no tunnel
// (WinHTTP reports both alike), before it returns. An implementation that cannot tell sets it.
struct WireTrace {
  // Room for any numeric IPv6 address with a zone, and its terminator.
  static constexpr size_t kAddressUnits = 64;

  std::atomic<SteadyTime> resolvedAt{0};
  std::atomic<SteadyTime> connectedAt{0};
  std::atomic<SteadyTime> securedAt{0};
  std::atomic<SteadyTime> sentAt{0};
  std::atomic<SteadyTime> firstByteAt{0};
  std::atomic<bool> requestMayBeWritten{false};
  // The request was written on a connection an earlier request had used; the resolve, connect
  // and handshake marks then stay unset, as nothing of the kind happened.
  std::atomic<bool> connectionReused{false};
  // Set by the transfer, not the operation set: the final response head arrived.
  std::atomic<bool> answered{false};

  // Stamps a mark once: the first report wins, later ones are ignored.
  static void Stamp(std::atomic<SteadyTime>& mark, SteadyTime at = SteadyNow()) noexcept {
    SteadyTime unset = 0;
    mark.compare_exchange_strong(unset, at);
  }

  // The numeric address of the peer, kept once; longer text is cut at the room there is.
  void SetRemoteAddress(WideStringView address) noexcept;
  // Copies the address with its terminator into out; empty when none was kept.
  void CopyRemoteAddress(std::array<WideChar, kAddressUnits>& out) const noexcept;

 private:
  enum : int { kNoAddress, kWritingAddress, kAddressKept };
  std::atomic<int> addressState{kNoAddress};
  std::array<WideChar, kAddressUnits> address{};
};

// The operation set's one-off, process-wide preparation (global library set-up, trust material),
// done ahead so that no transfer carries it between its throttle slot and its connect, where
// neither a cancel nor the deadline could cut it short. concurrentTransfers is how many transfers
// may run at once (the engine's workers): an implementation may keep per-transfer resources
// ready for that many, and keeps none while never told. Best effort: on failure it returns false
// with the code in the last error, and transfers prepare lazily, as they do when this was never
// called. Later calls return at once. May block; called with no lock held that a host call may
// wait on.
bool HttpPrepareProcess(size_t concurrentTransfers);

// Kept connections, process-wide. idleMs 0 (the setting until changed): every request opens its
// own connection and closes it after its exchange. Above 0: sessions opened from now on keep a
// connection whose response was read to its end, that no request on it failed or left unread
// and that the server did not ask to close, for up to idleMs after its last use, at most
// kMaxIdleConnectionsPerHost per host (and proxy), and a later request to that host takes it
// instead of connecting. A request whose method is neither GET nor HEAD is written at most once:
// if a kept connection dies before its answer, it fails with 12030 instead of being sent again.
// Lowering the setting closes the idle connections it makes too old; 0 closes them all.
inline constexpr size_t kMaxIdleConnectionsPerHost = 4;
void HttpSetKeepAlive(int32_t idleMs);

// Reads the system's proxy settings that requests opened from now on use (on Linux from the
// environment, which is read nowhere else); Windows reads its own. Called once per engine start,
// never on a transfer's thread: a host may change its environment while requests run.
void HttpReadProxySettings();

// Fork: a child inherits none of the parent's threads, so it must never wait on a lock that a
// parent thread held at the fork, nor touch a connection or wake-up channel it shares with the
// parent. HttpForkPrepare (in the parent, before the fork) takes the op set's own locks;
// HttpForkParent gives them back; HttpForkChild (in the child) gives them back and forgets
// every idle connection and pooled handle without closing them, as they are the parent's. No
// transfer of the child's may run meanwhile: the caller makes sure.
void HttpForkPrepare();
void HttpForkParent();
void HttpForkChild();

// Opens a session with the given user agent and the system's proxy, TLS 1.2 or later and
// HTTP/1.1 only. Null on failure.
NetHandle HttpOpen(const WideChar* userAgent);

// Sets the four time-outs in milliseconds on a session. 0 means no time-out (the transfer's
// resolve time-out: the watchdog bounds it).
bool HttpSetTimeouts(NetHandle session, int resolveMs, int connectMs, int sendMs, int receiveMs);

// Names the server of a session; no network activity yet. Null on failure.
NetHandle HttpConnect(NetHandle session, const WideChar* host, uint16_t port);

// Creates an HTTPS request over the connection: HTTP/1.1, the object name (path and query) sent
// verbatim with no escaping, no default Accept header. Null on failure.
NetHandle HttpOpenRequest(NetHandle connection, const WideChar* method, const WideChar* objectName);

// Hands the request's trace to the operation set, before HttpSendRequest: from here on the
// operation set stamps into it what it observes, and keeps it alive for as long as it may still
// write to it.
bool HttpTraceRequest(NetHandle request, std::shared_ptr<WireTrace> trace);

// kOptionDisableFeature with kDisableRedirects: redirects are returned, never followed.
// kOptionDecompression with kDecompressionGzipAndDeflate: Accept-Encoding is sent and gzip or
// deflate bodies are delivered decoded. Unknown options fail with kErrorInvalidParameter (87).
bool HttpSetOption(NetHandle request, uint32_t option, uint32_t value);

// Connects if needed and sends the request line, the caller's header block (headersLength
// UTF-16 units, CR LF separated, sent unchanged; null and 0 for none) and the body (null and 0
// for none). Every line of the block is sent, in order: a repeated name never replaces an
// earlier line. No client certificate is offered, also to a server that asks for one. Returns
// once the whole request has been sent.
bool HttpSendRequest(NetHandle request, const WideChar* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength);

// Blocks until the final (non-1xx) response's status line and headers have arrived.
bool HttpReceiveResponse(NetHandle request);

// The final response's numeric status code.
bool HttpQueryStatusCode(NetHandle request, uint32_t& statusCode);

// The final response's raw header block as UTF-16 text with CR LF line ends, by the two-call
// size protocol: with a null buffer (or one too small) it fails with kErrorInsufficientBuffer
// (122) and sets bufferBytes to the size needed in bytes, terminating NUL included; given enough
// room it writes the text and its terminator and sets bufferBytes to the bytes written, the
// terminator excluded. Header bytes that are valid UTF-8 are decoded as UTF-8; any other byte is
// taken as its Latin-1 code point.
bool HttpQueryRawHeaders(NetHandle request, void* buffer, uint32_t& bufferBytes);

// Blocks until body bytes can be read or the body has ended; sets available to the count that
// can be read now without blocking, 0 at the end of the body.
bool HttpQueryDataAvailable(NetHandle request, uint32_t& available);

// Copies up to size body bytes into buffer and sets bytesRead; 0 only at the end of the body.
// A 0 may follow an announced count: WinHTTP ends a response with a 0-byte read, and a decoded
// body's last announced bytes (the coding's trailer) can decode to nothing. The next
// HttpQueryDataAvailable then reports 0.
bool HttpReadData(NetHandle request, void* buffer, uint32_t size, uint32_t& bytesRead);

// Closes a handle; callable from any thread, see above. The result is for information only.
bool HttpCloseHandle(NetHandle handle);

// The calling thread's last error, as left by the operation that just failed.
uint32_t HttpLastError();
void HttpSetLastError(uint32_t error);

}  // namespace ksrn::net
