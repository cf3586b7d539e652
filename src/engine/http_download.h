// The transfer a worker runs for one request, written once against the HTTP operation set.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/http_request.h"
#include "platform/limits.h"

namespace ksrn {

// Carries out one request from opening a session to the last body byte and returns its outcome.
// Network failures, cancellation and time-outs are reported inside the result; only memory
// exhaustion leaves as an exception, after every handle has been closed. On return, by any path,
// the record's three handle slots are empty. What the exchange did on the wire is in trace, also
// when the transfer throws.
HttpResult HttpDownload(HttpRequest& request, const std::shared_ptr<net::WireTrace>& trace);

}  // namespace ksrn
