// The workers and the dispatch throttle: take a record from the queue, claim it, wait for its
// start permission, transfer it and hand the outcome to Publish.
#include <algorithm>
#include <new>

#include "engine/http_download.h"
#include "engine/http_engine.h"
#include "platform/win32_errors.h"

namespace ksrn {

void HttpEngine::WorkerLoop() {
  try {
    // The record reference lives for one round, so a skipped or published record is released
    // before the worker sleeps again.
    while (RequestRef request = NextQueued()) {
      Serve(request);
    }
  } catch (...) {
    // Only a failing lock can get here. The thread ends; Stop still joins it, and the watchdog
    // still ends whatever stays queued.
  }
}

RequestRef HttpEngine::NextQueued() {
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
  return request;
}

void HttpEngine::Serve(const RequestRef& request) {
  // Claim against cancel and watchdog: whoever moves the record out of Queued first owns its
  // publication. Losing means it was already published while it waited in the queue.
  RequestState expected = RequestState::Queued;
  if (!request->state.compare_exchange_strong(expected, RequestState::Running)) {
    return;
  }
  HttpResult result = Transfer(request);
  // While Running nobody but this worker moves the record, so this exchange succeeds; it is
  // kept so that publication stays single even if that ever changes.
  expected = RequestState::Running;
  if (request->state.compare_exchange_strong(expected, RequestState::Completing)) {
    Publish(request, std::move(result));
  }
}

HttpResult HttpEngine::Transfer(const RequestRef& request) {
  try {
    if (!WaitForDispatch(request)) {
      return HttpResult::Failure(request->timedOut.load() ? kErrorWinhttpTimeout
                                                          : kErrorOperationAborted);
    }
    return HttpDownload(*request);
  } catch (const std::bad_alloc&) {
    return HttpResult::Failure(kErrorNotEnoughMemory);
  } catch (...) {
    return HttpResult::Failure(kErrorGenFailure);
  }
}

// One global spacing between start permissions, measured from each grant. Every wait is bounded
// by the record's deadline and the next permitted start; the flags that end a wait early are
// raised before WakeDispatchWaiters passes through dispatchMutex, so no wake-up is lost between
// a check below and the wait.
bool HttpEngine::WaitForDispatch(const RequestRef& request) {
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
    // Grants made at throttle 0 are recorded too, so a throttle set later counts from them.
    if (spacingNs == 0 || !hasLastDispatch || now >= lastDispatch + spacingNs) {
      lastDispatch = now;
      hasLastDispatch = true;
      return true;
    }
    const SteadyTime wakeAt = std::min(request->deadline, lastDispatch + spacingNs);
    dispatchCv.WaitUntil(dispatchMutex, ToTimePoint(wakeAt));
    if (stopping.load()) {
      return false;
    }
  }
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
  dispatchCv.NotifyAll();
}

}  // namespace ksrn
