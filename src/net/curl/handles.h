// The three kinds of handle of the libcurl operation set. A session and a connection only hold
// settings; a request owns the curl objects of its exchange (request.h). A request keeps what
// it needs of its session and connection alive, so they may be closed before it.
#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace ksrn::net::curl {

// The time-outs of a session in milliseconds, WinHTTP's defaults first; 0 or less is no limit.
// Requests opened under the session read them before each wait, so a later setting applies to
// the requests already open.
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

}  // namespace ksrn::net::curl
