// Request submission: KSRN_Request and KSRN_Get check every argument, build the request record
// and hand it to the engine. The calling thread never waits for the network here.
#include <memory>

#include "api/lifecycle.h"
#include "engine/budget_ledger.h"
#include "kestrune.h"
#include "platform/limits.h"
#include "platform/win32_errors.h"
#include "validate/exchange_hosts.h"
#include "validate/request_validation.h"
#include "validate/url_validation.h"

namespace ksrn {
namespace {

// Fills the record's URL, method, header block and body in that order; the first refusal
// decides the code. Allocation failures leave as exceptions.
bool BuildRequest(HttpRequest& request, const WideChar* url, const WideChar* method,
                  MethodSet allowedMethods, const WideChar* headers, const uint8_t* body,
                  int32_t bodyLength, uint32_t& error) {
  if (!ValidateAndParseUrl(url, request.url, error) ||
      !CopyBounded(method, kMaxMethodChars, request.method, error) ||
      !ValidateMethod(request.method, allowedMethods, error) ||
      !CopyBounded(headers, kMaxHeaderChars, request.headers, error) ||
      !ValidateHeaders(request.headers, error)) {
    return false;
  }
  if (bodyLength != 0) {
    // Every accepted method but GET and HEAD may carry a body.
    if (request.method == KSRN_WIDE("GET") || request.method == KSRN_WIDE("HEAD")) {
      error = kErrorInvalidParameter;
      return false;
    }
    request.body.assign(body, body + bodyLength);
  }
  return true;
}

int32_t SubmitRequest(const WideChar* url, const WideChar* method, const WideChar* headers,
                      const uint8_t* body, int32_t bodyLength, int32_t timeoutMs,
                      int32_t weight) noexcept {
  MethodSet allowedMethods = 0;
  const EngineRef engine = AcquireEngine(allowedMethods);
  if (!engine) {
    return 0;
  }
  const int32_t effectiveTimeoutMs = timeoutMs == 0 ? kDefaultTimeoutMs : timeoutMs;
  if (static_cast<uint32_t>(bodyLength) > kMaxBodyBytes || (bodyLength != 0 && body == nullptr) ||
      effectiveTimeoutMs < kMinTimeoutMs || effectiveTimeoutMs > kMaxTimeoutMs || weight < 1 ||
      weight > kMaxBudgetUnits) {
    SetApiError(kErrorInvalidParameter);
    return 0;
  }
  uint32_t error = kErrorGenFailure;
  int32_t id = 0;
  try {
    // Private to this thread until Submit publishes it; destroyed here on every refusal.
    const auto request = std::make_shared<HttpRequest>();
    if (BuildRequest(*request, url, method, allowedMethods, headers, body, bodyLength, error)) {
      request->timeoutMs = effectiveTimeoutMs;
      request->hostIndex = ExchangeHostIndex(request->url.host.c_str());
      request->weight = static_cast<uint64_t>(weight);
      // A weight no window of the host's budget can hold would only ever be refused.
      const int32_t units =
          weight > 1 && request->hostIndex >= 0 ? engine->HostBudgetUnits(request->hostIndex) : 0;
      if (units > 0 && weight > units) {
        error = kErrorInvalidParameter;
      } else {
        id = engine->Submit(request, error);
      }
    }
  } catch (...) {
    error = kErrorNotEnoughMemory;
    id = 0;
  }
  SetApiError(error);
  return id;
}

}  // namespace
}  // namespace ksrn

int32_t KSRN_Request(const KSRN_CHAR* url, const KSRN_CHAR* method, const KSRN_CHAR* headers,
                     const uint8_t* body, int32_t bodyLength, int32_t timeoutMs) {
  return ksrn::SubmitRequest(url, method, headers, body, bodyLength, timeoutMs, 1);
}

int32_t KSRN_RequestWeighted(const KSRN_CHAR* url, const KSRN_CHAR* method,
                             const KSRN_CHAR* headers, const uint8_t* body, int32_t bodyLength,
                             int32_t timeoutMs, int32_t weight) {
  return ksrn::SubmitRequest(url, method, headers, body, bodyLength, timeoutMs, weight);
}

int32_t KSRN_Get(const KSRN_CHAR* url, int32_t timeoutMs) {
  return ksrn::SubmitRequest(url, nullptr, nullptr, nullptr, 0, timeoutMs, 1);
}
