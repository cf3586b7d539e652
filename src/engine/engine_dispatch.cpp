// The workers and the dispatch throttle: take a record from the queue, claim it, wait for its
// start permission, transfer it and hand the outcome to Publish.
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
  tickets[worker].store(nextTicket++);
  return request;
}

void HttpEngine::Serve(size_t worker, const RequestRef& request) {
  // Claim against cancel and watchdog: whoever moves the record out of Queued first owns its
  // publication. Losing means it was already published while it waited in the queue.
  RequestState expected = RequestState::Queued;
  if (!request->state.compare_exchange_strong(expected, RequestState::Running)) {
    GiveUpTicket(worker);
    return;
  }
  HttpResult result = Transfer(worker, request);
  // While Running nobody but this worker moves the record, so this exchange succeeds; it is
  // kept so that publication stays single even if that ever changes.
  expected = RequestState::Running;
  if (request->state.compare_exchange_strong(expected, RequestState::Completing)) {
    Publish(request, std::move(result));
  }
}

// The trace outlives a transfer that throws, so even then the outcome says how far the request
// got: a request that may have been written must never read as not sent.
HttpResult HttpEngine::Transfer(size_t worker, const RequestRef& request) {
  SteadyTime startedAt = 0;
  std::shared_ptr<net::WireTrace> trace;
  HttpResult result;
  try {
    if (!WaitForDispatch(worker, request, startedAt)) {
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

// One global spacing between start permissions, measured from each grant, granted in ticket
// order. Every wait is bounded by the record's deadline and, for the first in line, by the next
// permitted start; the flags that end a wait early, and the end of the ticket ahead, are
// published before a pass through dispatchMutex, so no wake-up is lost between a check below
// and the wait.
bool HttpEngine::WaitForDispatch(size_t worker, const RequestRef& request, SteadyTime& startedAt) {
  struct TicketRelease {
    HttpEngine& engine;
    size_t worker;
    ~TicketRelease() { engine.GiveUpTicket(worker); }
  } release{*this, worker};
  MutexLock lock(dispatchMutex);
  if (stopping.load()) {
    return false;
  }
  for (;;) {
    if (request->cancelled.load()) {
      return false;
    }
    const SteadyTime now = SteadyNow();
    if (now >= request->deadline) {
      request->timedOut.store(true);
      return false;
    }
    if (request->timedOut.load()) {
      return false;
    }
    const int64_t spacingNs = static_cast<int64_t>(throttleMs.load()) * kNanosecondsPerMillisecond;
    const bool first = FirstInLine() == worker;
    // Grants made at throttle 0 are recorded too, so a throttle set later counts from them.
    if (first && (spacingNs == 0 || !hasLastDispatch || now >= lastDispatch + spacingNs)) {
      lastDispatch = now;
      hasLastDispatch = true;
      startedAt = now;
      return true;
    }
    const SteadyTime wakeAt =
        first ? std::min(request->deadline, lastDispatch + spacingNs) : request->deadline;
    dispatchCvs[worker].WaitUntil(dispatchMutex, ToTimePoint(wakeAt));
    if (stopping.load()) {
      return false;
    }
  }
}

size_t HttpEngine::FirstInLine() const {
  size_t first = tickets.size();
  uint64_t lowest = kNoTicket;
  for (size_t worker = 0; worker < tickets.size(); ++worker) {
    const uint64_t ticket = tickets[worker].load();
    if (ticket != kNoTicket && (lowest == kNoTicket || ticket < lowest)) {
      lowest = ticket;
      first = worker;
    }
  }
  return first;
}

// Only the end of the first ticket changes anything for the others, and then only for the next
// one, which starts its wait for the next slot; waking every waiter at each grant would have them
// all compete with the granted worker for the processor as its transfer begins.
void HttpEngine::GiveUpTicket(size_t worker) {
  const bool wasFirst = FirstInLine() == worker;
  tickets[worker].store(kNoTicket);
  if (!wasFirst) {
    return;
  }
  const size_t next = FirstInLine();
  if (next == tickets.size()) {
    return;
  }
  // As in WakeDispatchWaiters: the next worker either sees the ticket gone or is asleep.
  { MutexLock lock(dispatchMutex); }
  dispatchCvs[next].NotifyOne();
}

bool HttpEngine::SetThrottleMs(int32_t ms) {
  // Taken as unsigned, so negative values are refused with the too-large ones.
  if (static_cast<uint32_t>(ms) > static_cast<uint32_t>(kMaxThrottleMs)) {
    return false;
  }
  throttleMs.store(ms);
  WakeDispatchWaiters();
  return true;
}

void HttpEngine::WakeDispatchWaiters() {
  // A waiter holds dispatchMutex from its last check of the flags until it sleeps. Passing
  // through the mutex after raising a flag means the waiter either sees the flag or is already
  // asleep and gets this notification; without it a cancelled waiter could sleep until its
  // throttle slot (up to a minute) and Stop could wait that long for the join.
  { MutexLock lock(dispatchMutex); }
  for (CondVar& waiter : dispatchCvs) {
    waiter.NotifyAll();
  }
}

}  // namespace ksrn
