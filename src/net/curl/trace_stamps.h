// The wire milestones of one exchange, as libcurl reports them on the owner's thread: the socket
// made (the name resolved), the connection ready for the request (connected and secured), and
// the marks of the request's WireTrace that follow from them. The milestones count with or
// without a trace: they decide which time-out applies.
//
// Request bytes count as possibly written from the pre-request callback on: libcurl writes the
// request in the same step. libcurl sends a request once more, on a fresh connection, when a kept
// connection dies before any byte of the answer, and has no option against it; its pre-request
// callback runs again first, and refusing there is the one way to stop it. A request that must
// be written at most once is refused its resend, and the exchange ends with 12030.
#pragma once

#include <curl/curl.h>

#include <memory>

#include "net/curl/response_capture.h"
#include "net/http_ops.h"

namespace ksrn::net::curl {

class TraceStamper {
 public:
  // easy is the exchange's handle, response what its callbacks capture; both outlive this.
  TraceStamper(CURL* easy, const ResponseCapture& response) : easy(easy), response(response) {}
  TraceStamper(const TraceStamper&) = delete;
  TraceStamper& operator=(const TraceStamper&) = delete;

  // CURLOPT_SOCKOPTFUNCTION: the first socket is made right after the name resolved.
  static int OnSocketOption(void* stamper, curl_socket_t socket, curlsocktype purpose);
  // CURLOPT_PREREQFUNCTION: connected and secured, or a kept connection taken; libcurl writes the
  // request as soon as this returns, and calls it again before each resend on a fresh
  // connection, whose marks then replace those of the connection that died.
  static int OnPreRequest(void* stamper, char* remoteIp, char* localIp, int remotePort,
                          int localPort);

  void SetTrace(std::shared_ptr<WireTrace> wireTrace) { trace = std::move(wireTrace); }
  // The body's size, before the transfer starts: all of it gone out is the whole request.
  void SetBodyBytes(curl_off_t bytes) { bodyBytes = bytes; }
  curl_off_t BodyBytes() const { return bodyBytes; }
  // Before the transfer starts: a request of a method that is neither GET nor HEAD is written
  // at most once.
  void SetWriteOnce(bool once) { writeOnce = once; }
  bool RefusedResend() const { return refusedResend; }

  bool IsSocketOpened() const { return socketOpened; }
  bool IsSecured() const { return secured; }

  // Stamps what the last step of libcurl did: connected, whole request written, first byte.
  void Observe();

 private:
  // The numeric address of the peer, as libcurl knows it.
  void KeepAddress(WireTrace& wire);

  CURL* const easy;
  const ResponseCapture& response;
  std::shared_ptr<WireTrace> trace;
  curl_off_t bodyBytes = 0;
  bool socketOpened = false;
  bool secured = false;
  bool writeOnce = false;
  bool newSocket = false;  // a socket was made since the last pre-request report
  int preRequests = 0;
  bool refusedResend = false;
};

}  // namespace ksrn::net::curl
