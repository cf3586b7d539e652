// The handle kinds of the libcurl operation set and the exchange a request runs. A session and a
// connection only hold settings; a request owns the curl objects of its exchange: one easy handle
// in a multi handle of its own while it lives, driven by the thread that runs the transfer until
// the condition of the operation holds (request sent, final head in, body bytes waiting). A
// request keeps what it needs of its session and connection alive, so they may be closed before
// it.
//
// Threads: a request's operations are called by one thread, the owner. Abort may come from any
// thread at any time: it marks the request and wakes the owner's poll if one runs
// (curl_multi_wakeup, the one multi call that libcurl allows from another thread), so the
// operation in progress fails at once with 12017, and so does every later one. The curl objects are
// freed with the Request, which the registry and every operation in progress hold, so never under a
// running operation.
//
// The trace (WireTrace) is stamped on the owner's thread only, from libcurl's callbacks and after
// each step of the drive loop; libcurl does nothing between operations, so what the trace holds
// when an operation returns is final for that moment. Request bytes count as possibly written
// from the pre-request callback on: libcurl writes the request in the same step.
//
// Time-outs (the session's, read before each wait): until the first socket exists the resolve
// time-out applies, then the connect time-out until the connection is up (TLS included), then
// the send time-out until the body has gone out, then the receive time-out; each bounds the time
// without progress, and a wait that runs out fails with 12002 and ends the request.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/curl/multi_pool.h"
#include "net/http_ops.h"
#include "platform/wide_string.h"

namespace ksrn::net::curl {

// The time-outs of a session in milliseconds, WinHTTP's defaults first; 0 or less is no limit.
// Requests read them before each wait, so a later setting applies to the requests already open.
struct SessionTimeouts {
  std::atomic<int> resolveMs{0};
  std::atomic<int> connectMs{60'000};
  std::atomic<int> sendMs{30'000};
  std::atomic<int> receiveMs{30'000};
};

struct Session {
  std::string userAgent;  // empty: no User-Agent header
  SessionTimeouts timeouts;
};

struct Connection {
  std::shared_ptr<Session> session;
  std::string origin;  // "https://host:port/"
};

// What libcurl's callbacks collect of a response, on the owner's thread: the raw head of the
// final response (interim 1xx heads are dropped) and the body bytes the reader has not taken yet.
// The body is held in bounded memory: once kPauseAtBytes are waiting, the transfer is paused
// until the reader has taken most of them.
class ResponseCapture {
 public:
  // A head larger than this (all heads of the exchange together) ends the transfer with
  // ERROR_WINHTTP_HEADER_SIZE_OVERFLOW, before libcurl's own, vaguer, limit of 300 KiB.
  static constexpr size_t kHeadLimitBytes = 256 * 1024;
  static constexpr size_t kPauseAtBytes = 256 * 1024;
  static constexpr size_t kResumeBelowBytes = kPauseAtBytes / 2;

  ResponseCapture() = default;
  ResponseCapture(const ResponseCapture&) = delete;
  ResponseCapture& operator=(const ResponseCapture&) = delete;

  // CURLOPT_HEADERFUNCTION and CURLOPT_WRITEFUNCTION, with the capture as their data.
  static size_t OnHeader(char* data, size_t size, size_t count, void* capture);
  static size_t OnBody(char* data, size_t size, size_t count, void* capture);

  bool IsHeadComplete() const { return headComplete; }
  uint32_t StatusCode() const { return statusCode; }
  std::string_view Head() const { return head; }
  // Head bytes received so far, interim heads included: progress while waiting for the head.
  size_t HeadBytesSeen() const { return headBytesSeen; }
  // Why a callback stopped the transfer: 0 when none did, else a Win32 code.
  uint32_t StopReason() const { return stopReason; }

  size_t PendingBytes() const { return pending.size() - taken; }
  // Moves up to size waiting body bytes into buffer; returns the count.
  size_t Take(void* buffer, size_t size);
  // True once when the transfer was paused and enough has been taken to resume it.
  bool ShouldResume();

 private:
  size_t AddHeadLine(std::string_view line);
  size_t AddBody(std::string_view bytes);

  std::string head;
  size_t headBytesSeen = 0;
  uint32_t statusCode = 0;
  bool headComplete = false;
  uint32_t stopReason = 0;

  std::vector<uint8_t> pending;
  size_t taken = 0;  // bytes at the front of pending already handed out
  bool paused = false;
};

class Request {
 public:
  // The request's curl objects, ready to be configured; null with error set when libcurl cannot
  // make them.
  static std::shared_ptr<Request> Create(std::shared_ptr<const Connection> connection,
                                         std::string method, std::string target, uint32_t& error);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Any thread, any time, any number of times.
  void Abort() noexcept;

  // The owner, before Send.
  void SetTrace(std::shared_ptr<WireTrace> wireTrace) { trace = std::move(wireTrace); }

  // The owner only. Each returns 0 or the Win32 code of the failure.
  uint32_t SetOption(uint32_t option, uint32_t value);
  uint32_t Send(WideStringView headers, const void* body, size_t bodyLength);
  uint32_t Receive();
  uint32_t QueryStatusCode(uint32_t& statusCode) const;
  uint32_t QueryRawHeaders(void* buffer, uint32_t& bufferBytes);
  uint32_t QueryDataAvailable(uint32_t& available);
  uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead);

 private:
  enum class Stage { Opened, Sent, Received };

  // How far the exchange has come; any change is progress for the time-outs.
  struct Progress {
    bool socketOpened = false;
    bool connected = false;
    curl_off_t bytesSent = 0;  // body bytes
    curl_off_t bytesReceived = 0;
    bool operator==(const Progress&) const = default;
  };

  struct MultiReturn {
    void operator()(CURLM* multi) const { ReturnMulti(multi); }
  };
  struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
  };
  struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };

  Request(std::shared_ptr<const Connection> connection, std::string method, std::string target,
          std::unique_ptr<CURLM, MultiReturn> multi, std::unique_ptr<CURL, EasyCleanup> easy);

  // CURLOPT_SOCKOPTFUNCTION and CURLOPT_PREREQFUNCTION: name resolved, connection up.
  static int OnSocketOpened(void* request, curl_socket_t socket, curlsocktype purpose);
  static int OnConnected(void* request, char* remoteIp, char* localIp, int remotePort,
                         int localPort);

  // 12017 once aborted, 12019 when the request is not at the stage the operation needs.
  uint32_t Enter(Stage needed) const;
  uint32_t Configure(WideStringView headers, const void* body, size_t bodyLength);
  // Runs the transfer until ready() holds or the transfer has ended. Fails with 12017 on
  // abort, 12002 when a wait runs out, or libcurl's failure of the multi handle.
  template <class Ready>
  uint32_t DriveUntil(Ready ready);
  Progress Snapshot() const;
  // Stamps what the last step of libcurl did: connected, whole request written, first byte.
  void Observe();
  int TimeoutMs(const Progress& progress) const;
  void CollectFinished();
  // The code of an exchange that ended before the operation's condition held.
  uint32_t FinishedCode() const;
  // Waits for body bytes; succeeds with none waiting only at the end of the body.
  uint32_t AwaitBody();

  const std::shared_ptr<const Connection> connection;
  const std::string method;
  const std::string target;
  ResponseCapture response;  // outlives the easy handle whose callbacks fill it
  WideString headText;       // the head decoded, once asked for
  std::string acceptEncoding;
  std::unique_ptr<curl_slist, ListCleanup> headerList;
  std::shared_ptr<WireTrace> trace;
  // The easy handle is freed before the multi handle it is in.
  const std::unique_ptr<CURLM, MultiReturn> multi;
  const std::unique_ptr<CURL, EasyCleanup> easy;

  std::atomic<bool> aborted{false};
  std::atomic<bool> polling{false};  // the owner is in, or about to enter, a poll
  // The rest is the owner's.
  Stage stage = Stage::Opened;
  bool added = false;  // easy is in multi
  curl_off_t bodyBytes = 0;
  bool socketOpened = false;
  bool connected = false;
  bool finished = false;
  CURLcode finishResult = CURLE_OK;
  uint32_t failure = 0;  // a failed wait ends the exchange; later waits fail alike
};

}  // namespace ksrn::net::curl
