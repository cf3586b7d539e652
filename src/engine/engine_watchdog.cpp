// The deadline watchdog: ends requests that overrun their deadline while nobody else looks at
// them (queued behind busy workers, waiting for the throttle, or stuck in a transfer).
#include <algorithm>

#include "engine/http_engine.h"

namespace ksrn {
namespace {

bool IsWatched(RequestState state) {
  return state == RequestState::Queued || state == RequestState::Running;
}

}  // namespace

// While a record is queued or running, sleeps at most kWatchdogPeriod, and no longer than the
// earliest deadline still ahead, so an overdue request is usually ended within scheduling delay
// of its deadline rather than up to a period later. With nothing to watch it sleeps until the
// next submission. Overdue records that refuse to end (a transfer that ignores the closing of its
// handles) are looked at again each period, never in a busy loop.
//
// A record collected as overdue may move on before it is acted on: claimed by a worker (the
// time-out cancel then finds Running, closes the handles and wakes the throttle waiters, and
// the worker publishes 12002), published by a cancel or its worker (the exchange fails and the
// late flag changes nothing), or freed (the snapshot keeps it alive; whoever wins the exchange
// publishes it, uncharged). A Done record is never collected.
void HttpEngine::WatchdogLoop() {
  try {
    for (;;) {
      Snapshot overdue;
      size_t count = 0;
      {
        MutexLock lock(engineMutex);
        // Tested under the lock before every wait: Stop sets stopping under this lock and then
        // notifies, so its wake-up cannot fall between this test and the wait.
        if (stopping.load()) {
          return;
        }
        // Submit lowers the wake-up time, and only then notifies: a submission whose deadline
        // falls after the next scan anyway costs the watchdog no wake-up. With nothing to watch
        // the time is kNever, so an idle engine costs no wake-ups at all; a submission made
        // while this thread scanned or cancelled unlocked has lowered it already.
        if (watchdogWakeAt == kNever) {
          while (!stopping.load() && watchdogWakeAt == kNever) {
            watchdogCv.Wait(engineMutex);
          }
        } else {
          watchdogCv.WaitUntil(engineMutex, ToTimePoint(watchdogWakeAt));
        }
        if (stopping.load()) {
          return;
        }
        const SteadyTime now = SteadyNow();
        SteadyTime earliestDeadline = kNever;
        bool watching = false;
        ++watchdogScans;
        for (const auto& [id, request] : requests) {
          if (!IsWatched(request->state.load())) {
            continue;
          }
          watching = true;
          if (request->deadline > now) {
            earliestDeadline = std::min(earliestDeadline, request->deadline);
          } else if (count < overdue.size()) {
            overdue[count++] = request;
          }
        }
        const SteadyTime periodEnd = now + std::chrono::nanoseconds(kWatchdogPeriod).count();
        watchdogWakeAt = watching ? std::min(periodEnd, earliestDeadline) : kNever;
      }
      for (size_t i = 0; i < count; ++i) {
        CancelRequest(overdue[i], true);
      }
      // The snapshot goes here, outside the lock: it may hold the last reference to a freed
      // record and its buffers.
    }
  } catch (...) {
    // Only a failing lock can get here; the thread ends and Stop still joins it.
  }
}

}  // namespace ksrn
