// Wire milestones and trace marks from libcurl's socket and pre-request callbacks and its
// transfer info.
#include "net/curl/trace_stamps.h"

#include <algorithm>

#include "platform/wide_string.h"

namespace ksrn::net::curl {

int TraceStamper::OnSocketOption(void* stamper, curl_socket_t /*socket*/,
                                 curlsocktype /*purpose*/) {
  auto* self = static_cast<TraceStamper*>(stamper);
  // A socket after the request was handed over is libcurl's resend: for a request written at
  // most once, refused before it connects (the pre-request check stays the guard).
  if (self->writeOnce && self->preRequests > 0) {
    self->refusedResend = true;
    return CURL_SOCKOPT_ERROR;
  }
  self->socketOpened = true;
  self->newSocket = true;
  if (self->trace) {
    WireTrace::Stamp(self->trace->resolvedAt);
  }
  return CURL_SOCKOPT_OK;
}

int TraceStamper::OnPreRequest(void* stamper, char* /*remoteIp*/, char* /*localIp*/,
                               int /*remotePort*/, int /*localPort*/) {
  auto* self = static_cast<TraceStamper*>(stamper);
  const bool resend = self->preRequests++ > 0;
  if (resend && self->writeOnce) {
    self->refusedResend = true;
    return CURL_PREREQFUNC_ABORT;
  }
  const bool reused = !self->newSocket;
  self->newSocket = false;
  self->secured = true;
  if (self->trace) {
    WireTrace& wire = *self->trace;
    if (resend) {
      wire.sentAt.store(0);
      wire.firstByteAt.store(0);
    }
    wire.connectionReused.store(reused);
    if (reused) {
      self->KeepAddress(wire);
    } else {
      WireTrace::Stamp(wire.securedAt);
    }
    self->Observe();
    wire.requestMayBeWritten.store(true);
  }
  return CURL_PREREQFUNC_OK;
}

void TraceStamper::KeepAddress(WireTrace& wire) {
  char* address = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address != nullptr) {
    WideChar text[WireTrace::kAddressUnits] = {};
    size_t length = 0;
    for (; address[length] != 0 && length + 1 < WireTrace::kAddressUnits; ++length) {
      text[length] = static_cast<unsigned char>(address[length]);
    }
    wire.SetRemoteAddress(WideStringView(text, length));
  }
}

// libcurl times the TCP connect from the transfer's start; counted from the resolved stamp by
// way of its own resolve timer, so both ends come from one clock. The address is libcurl's
// numeric text of the peer it connected to.
void TraceStamper::Observe() {
  if (!trace) {
    return;
  }
  WireTrace& wire = *trace;
  if (wire.connectedAt.load() == 0 && wire.resolvedAt.load() != 0) {
    curl_off_t resolvedUs = 0;
    curl_off_t connectedUs = 0;
    if (curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connectedUs) == CURLE_OK &&
        connectedUs > 0 &&
        curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &resolvedUs) == CURLE_OK) {
      WireTrace::Stamp(wire.connectedAt,
                       wire.resolvedAt.load() + std::max<curl_off_t>(connectedUs - resolvedUs, 0) *
                                                    kNanosecondsPerMicrosecond);
      KeepAddress(wire);
    }
  }
  if (wire.requestMayBeWritten.load() && wire.sentAt.load() == 0) {
    long requestBytes = 0;
    curl_off_t bodySent = 0;
    if (curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &requestBytes) == CURLE_OK &&
        requestBytes > 0 &&
        curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &bodySent) == CURLE_OK &&
        bodySent >= bodyBytes) {
      WireTrace::Stamp(wire.sentAt);
    }
  }
  if (wire.firstByteAt.load() == 0 && response.HeadBytesSeen() > 0) {
    WireTrace::Stamp(wire.firstByteAt);
  }
}

}  // namespace ksrn::net::curl
