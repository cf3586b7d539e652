// The record's own mechanics: moving results, the wire report, and closing handles once.
#include "engine/http_request.h"

#include <algorithm>

namespace ksrn {

HttpResult::HttpResult(HttpResult&& other) noexcept
    : statusCode(other.statusCode),
      error(other.error),
      bodyComplete(other.bodyComplete),
      body(std::move(other.body)),
      headers(std::move(other.headers)),
      wire(other.wire) {}

HttpResult& HttpResult::operator=(HttpResult&& other) noexcept {
  bodyComplete = other.bodyComplete;
  statusCode = other.statusCode;
  error = other.error;
  wire = other.wire;
  // Swapping with a temporary releases the target's storage now and leaves the source with
  // none, whatever the allocator does with a plain move assignment.
  std::vector<uint8_t>(std::move(other.body)).swap(body);
  std::vector<uint8_t>(std::move(other.headers)).swap(headers);
  return *this;
}

HttpResult HttpResult::Failure(uint32_t error) {
  HttpResult result;
  result.error = error;
  return result;
}

WireReport WireReport::FromTrace(const net::WireTrace& trace, SteadyTime startedAt) {
  WireReport report;
  report.delivery = trace.answered.load()              ? Delivery::Answered
                    : trace.requestMayBeWritten.load() ? Delivery::Unknown
                                                       : Delivery::NotSent;
  report.At(Mark::Started) = startedAt;
  report.At(Mark::Resolved) = trace.resolvedAt.load();
  report.At(Mark::Connected) = trace.connectedAt.load();
  report.At(Mark::Secured) = trace.securedAt.load();
  report.At(Mark::Sent) = trace.sentAt.load();
  report.At(Mark::FirstByte) = trace.firstByteAt.load();
  trace.CopyRemoteAddress(report.remoteAddress);
  report.connectionReused = trace.connectionReused.load();
  return report;
}

void WireReport::Finish(SteadyTime registered, SteadyTime doneAt) {
  registeredAt = registered;
  At(Mark::Done) = doneAt;
  SteadyTime latest = 0;
  for (SteadyTime& mark : marks) {
    if (mark != 0) {
      mark = std::max(mark, latest);
      latest = mark;
    }
  }
}

bool HttpRequest::InstallHandle(std::atomic<net::NetHandle>& slot, net::NetHandle handle) noexcept {
  if (handle == nullptr) {
    return false;
  }
  if (IsAbortRequested()) {
    net::HttpCloseHandle(handle);
    return false;
  }
  net::NetHandle expected = nullptr;
  if (!slot.compare_exchange_strong(expected, handle)) {
    net::HttpCloseHandle(handle);
    return false;
  }
  // A canceller may have raised its flag after the first check but missed the new handle in
  // its sweep: take the handle back. If the sweep got it first we find null and close nothing.
  if (cancelled.load() || timedOut.load()) {
    net::NetHandle taken = slot.exchange(nullptr);
    if (taken != nullptr) {
      net::HttpCloseHandle(taken);
    }
    return false;
  }
  return true;
}

void HttpRequest::CloseNetworkHandles() noexcept {
  for (std::atomic<net::NetHandle>* slot : {&requestHandle, &connectionHandle, &sessionHandle}) {
    net::NetHandle taken = slot->exchange(nullptr);
    if (taken != nullptr) {
      net::HttpCloseHandle(taken);
    }
  }
}

}  // namespace ksrn
