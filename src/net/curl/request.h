// The handle kinds of the libcurl operation set and the exchange a request runs. A session and a
// connection only hold settings; a request owns the curl objects of its exchange: one easy handle
// in a multi handle of its own while it lives (with connections kept, one that holds a kept
// connection to the request's route if there is one, kept again after an exchange that ended
// cleanly), driven by the thread that runs the transfer until
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
// when an operation returns is final for that moment.
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
#include <optional>
#include <string>

#include "net/curl/easy_setup.h"
#include "net/curl/multi_pool.h"
#include "net/curl/proxy.h"
#include "net/curl/response_capture.h"
#include "net/curl/trace_stamps.h"
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
  void SetTrace(std::shared_ptr<WireTrace> trace) { stamper.SetTrace(std::move(trace)); }

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
    bool secured = false;
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

  Request(std::shared_ptr<const Connection> connection, std::string method, std::string target,
          ProxySettings proxy, std::string route, std::unique_ptr<CURLM, MultiReturn> multi,
          std::unique_ptr<CURL, EasyCleanup> easy);

  // The response was read to its end with nothing failed, and libcurl still holds the
  // connection: only such a connection may serve another request. The easy handle must still be
  // in the multi handle.
  bool LeavesReusableConnection() const;

  // 12017 once aborted, 12019 when the request is not at the stage the operation needs.
  uint32_t Enter(Stage needed) const;
  // Runs the transfer until ready() holds or the transfer has ended. Fails with 12017 on
  // abort, 12002 when a wait runs out, or libcurl's failure of the multi handle.
  template <class Ready>
  uint32_t DriveUntil(Ready ready);
  Progress Snapshot() const;
  int TimeoutMs(const Progress& progress) const;
  void CollectFinished();
  // The code of an exchange that ended before the operation's condition held.
  uint32_t FinishedCode() const;
  // Waits for body bytes; succeeds with none waiting only at the end of the body.
  uint32_t AwaitBody();

  const std::shared_ptr<const Connection> connection;
  const std::string method;
  const std::string target;
  const ProxySettings proxy;  // as read at the engine's start
  const std::string route;    // where a kept connection leads; empty while none are kept
  // Both outlive the easy handle whose callbacks fill them.
  ResponseCapture response;
  TraceStamper stamper;
  WideString headText;  // the head decoded, once asked for
  std::string acceptEncoding;
  HeaderList headerList;
  // The destructor frees the easy handle before the multi handle it is in, and may keep the
  // multi handle, and its connection, for the next request to the route.
  std::unique_ptr<CURLM, MultiReturn> multi;
  std::unique_ptr<CURL, EasyCleanup> easy;

  std::atomic<bool> aborted{false};
  std::atomic<bool> polling{false};  // the owner is in, or about to enter, a poll
  // The rest is the owner's.
  Stage stage = Stage::Opened;
  bool added = false;  // easy is in multi
  // libcurl's result once the transfer has finished; empty while it runs.
  std::optional<CURLcode> finished;
  uint32_t failure = 0;  // a failed wait ends the exchange; later waits fail alike
};

}  // namespace ksrn::net::curl
