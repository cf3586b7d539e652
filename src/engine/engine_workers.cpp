// The workers: take a record from the queue in submission order, claim it, pass it through the
// start gate, transfer it and publish the outcome.
#include <new>

#include "engine/http_download.h"
#include "engine/http_engine.h"
#include "platform/win32_errors.h"

namespace ksrn {

void HttpEngine::WorkerLoop(size_t worker) {
  try {
    // The record reference lives for one round, so a skipped or published record is released
    // before the worker sleeps again.
    while (RequestRef request = NextQueued(worker)) {
      Serve(worker, request);
    }
  } catch (...) {
    // Only a failing lock can get here. The thread ends; Stop still joins it, and the watchdog
    // still ends whatever stays queued.
  }
}

RequestRef HttpEngine::NextQueued(size_t worker) {
  MutexLock lock(engineMutex);
  while (!stopping.load() && queue.empty()) {
    queueCv.Wait(engineMutex);
  }
  // Once stopping, entries still queued are all published already: draining them only skips
  // each one, and the thread ends when the queue is empty.
  if (queue.empty()) {
    return {};
  }
  RequestRef request = std::move(queue.front());
  queue.pop_front();
  gate.TakeTicket(worker);
  return request;
}

void HttpEngine::Serve(size_t worker, const RequestRef& request) {
  // Claim against cancel and watchdog: whoever moves the record out of Queued first owns its
  // publication. Losing means it was already published while it waited in the queue.
  RequestState expected = RequestState::Queued;
  if (!request->state.compare_exchange_strong(expected, RequestState::Running)) {
    gate.GiveUpTicket(worker);
    return;
  }
  HttpResult result = Transfer(worker, request);
  // While Running nobody but this worker moves the record, so this publication happens; the
  // exchange inside keeps it single even if that ever changes.
  expected = RequestState::Running;
  Publish(request, expected, [&] { return std::move(result); });
}

// The trace outlives a transfer that throws, so even then the outcome says how far the request
// got: a request that may have been written must never read as not sent.
HttpResult HttpEngine::Transfer(size_t worker, const RequestRef& request) {
  SteadyTime startedAt = 0;
  std::shared_ptr<net::WireTrace> trace;
  HttpResult result;
  try {
    if (!gate.WaitForDispatch(worker, *request, startedAt)) {
      return HttpResult::Failure(request->timedOut.load() ? kErrorWinhttpTimeout
                                                          : kErrorOperationAborted);
    }
    trace = std::make_shared<net::WireTrace>();
    result = HttpDownload(*request, trace);
  } catch (const std::bad_alloc&) {
    result = HttpResult::Failure(kErrorNotEnoughMemory);
  } catch (...) {
    result = HttpResult::Failure(kErrorGenFailure);
  }
  if (startedAt != 0) {
    result.wire = trace ? WireReport::FromTrace(*trace, startedAt) : WireReport{};
    result.wire.At(Mark::Started) = startedAt;
  }
  return result;
}

}  // namespace ksrn
