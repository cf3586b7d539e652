// The wire milestones of one exchange, as libcurl reports them on the owner's thread: the socket
// made (the name resolved), the connection ready for the request (connected and secured), and
// the marks of the request's WireTrace that follow from them. The milestones count with or
// without a trace: they decide which time-out applies.
//
// Request bytes count as possibly written from the pre-request callback on: libcurl writes the
// request in the same step.
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
  // CURLOPT_PREREQFUNCTION: connected and secured; libcurl writes the request as soon as this
  // returns, and calls it again before each resend on a fresh connection.
  static int OnPreRequest(void* stamper, char* remoteIp, char* localIp, int remotePort,
                          int localPort);

  void SetTrace(std::shared_ptr<WireTrace> wireTrace) { trace = std::move(wireTrace); }
  // The body's size, before the transfer starts: all of it gone out is the whole request.
  void SetBodyBytes(curl_off_t bytes) { bodyBytes = bytes; }
  curl_off_t BodyBytes() const { return bodyBytes; }

  bool IsSocketOpened() const { return socketOpened; }
  bool IsSecured() const { return secured; }

  // Stamps what the last step of libcurl did: connected, whole request written, first byte.
  void Observe();

 private:
  CURL* const easy;
  const ResponseCapture& response;
  std::shared_ptr<WireTrace> trace;
  curl_off_t bodyBytes = 0;
  bool socketOpened = false;
  bool secured = false;
};

}  // namespace ksrn::net::curl
