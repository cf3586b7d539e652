// One HTTPS exchange over libcurl's multi interface: one easy handle in a multi handle of its
// own, driven by the thread that runs the transfer until the condition of the operation holds
// (request sent, final head in, body bytes waiting).
//
// Threads: the operations are called by one thread, the owner. Abort may come from any thread at
// any time: it marks the request and wakes the owner's poll (curl_multi_wakeup, the one multi
// call that libcurl allows from another thread), so the operation in progress fails at once
// with 12017, and so does every later one. The curl objects are freed with the Request, which
// the registry and every operation in progress hold, so never under a running operation.
//
// Time-outs (the session's, read before each wait): until the first socket exists the resolve
// time-out applies, then the connect time-out until the connection is up (TLS included), then
// the send time-out until the body has gone out, then the receive time-out; each bounds the time
// without progress, and a wait that runs out fails with 12002 and ends the request.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/curl/handles.h"
#include "net/curl/response_capture.h"
#include "platform/wide_string.h"

namespace ksrn::net::curl {

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

  struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
  };
  struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
  };
  struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };

  Request(std::shared_ptr<const Connection> connection, std::string method, std::string target,
          std::unique_ptr<CURLM, MultiCleanup> multi, std::unique_ptr<CURL, EasyCleanup> easy);

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
  // The easy handle is freed before the multi handle it is in.
  const std::unique_ptr<CURLM, MultiCleanup> multi;
  const std::unique_ptr<CURL, EasyCleanup> easy;

  std::atomic<bool> aborted{false};
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
