// Publication, the one way an outcome reaches a record, and the budget for response data held by
// finished records.
#include <system_error>

#include "engine/completion_signal.h"
#include "engine/http_engine.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// Stores the outcome. ready goes before Done, so a reader that sees Done also sees ready.
void StoreOutcomeLocked(HttpRequest& request, HttpResult result, uint64_t charge)
    REQUIRES(request.resultMutex) {
  result.wire.Finish(request.registeredAt, SteadyNow());
  request.result = std::move(result);
  request.chargedBytes = charge;
  request.ready.store(true);
  request.state.store(RequestState::Done);
}

}  // namespace

// Called only by the thread whose compare-exchange moved the record into Completing.
//
// Against Free: both hold engineMutex from the table check to the last store, so a record's
// charge is either added here and given back by Free, or, when Free came first, never added.
// A record that left the table (freed, or emptied by Stop) still gets its result but charges
// nothing, so resultBytes stays the sum of the charges of the records in the table.
//
// A record published before any worker took it (cancelled, freed or out of time in the queue)
// leaves the queue here, so the queue holds only records still to be served, and a freed record
// with its body is released when its last caller lets go, not when a worker would reach it.
void HttpEngine::Complete(const RequestRef& request, HttpResult result) {
  // Declared before the locks so that refused data is released after they are dropped.
  HttpResult refused;
  // Kept apart so that even a failed lock never publishes a sent request as not sent.
  const WireReport wire = result.wire;
  try {
    MutexLock engineLock(engineMutex);
    std::erase(queue, request);
    const auto entry = requests.find(request->id);
    const bool tracked = entry != requests.end() && entry->second == request;
    uint64_t charge = 0;
    if (tracked) {
      const uint64_t size =
          static_cast<uint64_t>(result.body.size()) + static_cast<uint64_t>(result.headers.size());
      if (size > kMaxResultBytes - resultBytes) {
        refused = std::move(result);
        result = HttpResult::Failure(kErrorNotEnoughMemory);
        result.statusCode = refused.statusCode;
        result.wire = wire;
      } else {
        charge = size;
      }
    }
    MutexLock resultLock(request->resultMutex);
    StoreOutcomeLocked(*request, std::move(result), charge);
    resultBytes += charge;
  } catch (const std::system_error&) {
    // The engine lock failed: complete the record anyway, charging nothing.
    HttpResult failure = HttpResult::Failure(kErrorNotEnoughMemory);
    failure.wire = wire;
    MutexLock resultLock(request->resultMutex);
    StoreOutcomeLocked(*request, std::move(failure), 0);
  }
  completions.Notify();
}

}  // namespace ksrn
