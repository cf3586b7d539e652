// The workers: take a record from the queue in submission order (a budgeted host's records wait
// in the queue for their units, without holding up other hosts), claim it, pass it through the
// start gate, transfer it and publish the outcome.
#include <algorithm>
#include <new>

#include "engine/http_download.h"
#include "engine/http_engine.h"
#include "platform/win32_errors.h"

namespace ksrn {

void HttpEngine::WorkerLoop(size_t worker) {
  try {
    // The record reference lives for one round, so a skipped or published record is released
    // before the worker sleeps again.
    for (;;) {
      Refusals refusals;
      RequestRef request;
      const bool more = NextQueued(worker, request, refusals);
      PublishRefusals(refusals);
      if (request) {
        Serve(worker, request);
      }
      if (!more) {
        return;
      }
    }
  } catch (...) {
    // Only a failing lock can get here. The thread ends; Stop still joins it, and the watchdog
    // still ends whatever stays queued.
  }
}

bool HttpEngine::NextQueued(size_t worker, RequestRef& request, Refusals& refusals) {
  MutexLock lock(engineMutex);
  for (;;) {
    while (!stopping.load() && queue.empty()) {
      queueCv.Wait(engineMutex);
    }
    // Once stopping, entries still queued are all published already: draining them only skips
    // each one, and the thread ends when the queue is empty.
    if (queue.empty()) {
      return false;
    }
    SteadyTime retryAt = kNeverTime;
    auto next = stopping.load() || !budgets.InUse() ? queue.begin() : PickLocked(refusals, retryAt);
    if (next != queue.end()) {
      request = std::move(*next);
      queue.erase(next);
      gate.TakeTicket(worker);
      return true;
    }
    if (refusals.count > 0) {
      return true;  // published first; the next round looks again
    }
    if (retryAt == kNeverTime) {
      queueCv.Wait(engineMutex);
    } else {
      queueCv.WaitUntil(engineMutex, ToTimePoint(retryAt));
    }
  }
}

std::deque<RequestRef>::iterator HttpEngine::PickLocked(Refusals& refusals, SteadyTime& retryAt) {
  const SteadyTime now = SteadyNow();
  // Units that earlier records of each host wait for: a later record of that host waits behind
  // them, so that a host's requests start in submission order.
  std::array<uint64_t, kExchangeHostCount> waitingAhead{};
  std::array<bool, kExchangeHostCount> waiting{};
  for (auto entry = queue.begin(); entry != queue.end();) {
    HttpRequest& request = **entry;
    if (request.hostIndex < 0) {
      return entry;
    }
    const auto host = static_cast<size_t>(request.hostIndex);
    const bool firstOfHost = !waiting[host];
    SteadyTime unitsAt = kNeverTime;
    if (firstOfHost) {
      if (budgets.Reserve(request.hostIndex, request.weight, now, unitsAt)) {
        request.unitsReserved = true;
        return entry;
      }
    } else {
      unitsAt = budgets.EarliestFor(request.hostIndex, request.weight, waitingAhead[host], now);
    }
    if (unitsAt > request.deadline && refusals.count < refusals.records.size()) {
      refusals.records[refusals.count++] = std::move(*entry);
      entry = queue.erase(entry);
      continue;
    }
    // Only the first waiting record of a host says when to look again: the later ones cannot go
    // before it, and their own estimate may lie in the past.
    if (firstOfHost) {
      retryAt = std::min(retryAt, unitsAt);
    }
    waiting[host] = true;
    waitingAhead[host] += request.weight;
    ++entry;
  }
  return queue.end();
}

void HttpEngine::PublishRefusals(const Refusals& refusals) {
  for (size_t i = 0; i < refusals.count; ++i) {
    RequestState from = RequestState::Queued;
    Publish(refusals.records[i], from, [] { return HttpResult::Failure(kErrorRetry); });
  }
}

void HttpEngine::WakeWorkers() {
  // As in the start gate: a worker between its look at the queue and its wait holds the lock.
  { MutexLock lock(engineMutex); }
  queueCv.NotifyAll();
}

void HttpEngine::Serve(size_t worker, const RequestRef& request) {
  // Claim against cancel and watchdog: whoever moves the record out of Queued first owns its
  // publication. Losing means it was already published while it waited in the queue.
  RequestState expected = RequestState::Queued;
  if (!request->state.compare_exchange_strong(expected, RequestState::Running)) {
    if (request->unitsReserved) {
      budgets.Unreserve(request->hostIndex, request->weight);
      request->unitsReserved = false;
      WakeWorkers();
    }
    gate.GiveUpTicket(worker);
    return;
  }
  HttpResult result = Transfer(worker, request);
  if (budgets.InUse()) {
    HoldHostAfter(*request, result);
  }
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
      // A record that lost its units to another process gives them back in the gate; the
      // others waiting for that host look again.
      if (budgets.InUse()) {
        WakeWorkers();
      }
      if (request->unitsRefused && !request->timedOut.load() && !request->cancelled.load()) {
        return HttpResult::Failure(kErrorRetry);
      }
      return HttpResult::Failure(request->timedOut.load() ? kErrorWinhttpTimeout
                                                          : kErrorOperationAborted);
    }
    if (request->budgetFlight >= 0) {
      WakeWorkers();  // its reservation is a flight now: the records waiting behind it look again
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
  if (request->budgetFlight >= 0) {
    // The exchange counts the request when it reads it, somewhere between our writing it and
    // the first byte of its answer: counted from that first byte, the grant covers every window
    // the exchange can have put it in. Without an answer it counts from now, later still.
    const SteadyTime answeredAt = trace ? trace->firstByteAt.load() : 0;
    budgets.Land(request->hostIndex, request->budgetFlight, request->weight,
                 answeredAt != 0 ? answeredAt : SteadyNow());
    request->budgetFlight = -1;
  }
  return result;
}

}  // namespace ksrn
