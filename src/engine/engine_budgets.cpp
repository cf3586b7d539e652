// Per-host budgets as the host sets and shares them, the queued records they refuse at once, and
// the holds an exchange's answer asks for.
#include <chrono>
#include <optional>
#include <system_error>

#include "engine/http_engine.h"
#include "engine/retry_after.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

constexpr uint32_t kStatusServiceUnavailable = 503;
constexpr uint32_t kStatusTooManyRequests = 429;
constexpr uint32_t kStatusBanned = 418;  // some exchanges' answer to a client that kept going

}  // namespace

void HttpEngine::SetHostBudget(int host, int32_t units, int32_t periodMs) {
  budgets.Set(host, units, periodMs);
  WakeWorkers();
}

uint32_t HttpEngine::ShareBudgets(std::string_view name) {
  const uint32_t error = budgets.Share(name);
  WakeWorkers();
  return error;
}

void HttpEngine::RefuseIfHopelessLocked(const RequestRef& request, Refusals& refusals) {
  if (request->hostIndex < 0) {
    return;
  }
  uint64_t ahead = 0;
  for (const RequestRef& queued : queue) {
    if (queued != request && queued->hostIndex == request->hostIndex) {
      ahead += queued->weight;
    }
  }
  const SteadyTime unitsAt =
      budgets.EarliestFor(request->hostIndex, request->weight, ahead, SteadyNow());
  if (unitsAt > request->deadline) {
    std::erase(queue, request);
    refusals.records[refusals.count++] = request;
  }
}

// Without Retry-After, a 429 or 418 holds the host for one period of its budget: the exchange
// counts that window, and sending on through it is what turns a 429 into a ban.
void HttpEngine::HoldHostAfter(const HttpRequest& request, const HttpResult& result) {
  const uint32_t status = result.statusCode;
  if (request.hostIndex < 0 || (status != kStatusTooManyRequests && status != kStatusBanned &&
                                status != kStatusServiceUnavailable)) {
    return;
  }
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const int64_t nowUnixMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
  const std::string_view head(reinterpret_cast<const char*>(result.headers.data()),
                              result.headers.size());
  try {
    std::optional<int64_t> waitMs = RetryAfterMs(head, nowUnixMs);
    if (!waitMs && status != kStatusServiceUnavailable) {
      waitMs = budgets.PeriodMs(request.hostIndex);
    }
    if (waitMs &&
        budgets.Hold(request.hostIndex, SteadyNow() + *waitMs * kNanosecondsPerMillisecond)) {
      WakeWorkers();
    }
  } catch (const std::system_error&) {
    // The shared ledger's lock is broken: the answer is still published, unheld.
  }
}

}  // namespace ksrn
