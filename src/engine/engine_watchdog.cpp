// The deadline watchdog: ends requests that overrun their deadline while nobody else looks at
// them (queued behind busy workers, waiting for the throttle, or stuck in a transfer).
#include <algorithm>
#include <limits>

#include "engine/http_engine.h"

namespace ksrn {
namespace {

bool IsWatched(RequestState state) {
  return state == RequestState::Queued || state == RequestState::Running;
}

}  // namespace

bool HttpEngine::HasWatchedLocked() const {
  return std::any_of(requests.begin(), requests.end(),
                     [](const auto& entry) { return IsWatched(entry.second->state.load()); });
}

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
    SteadyTime earliestDeadline = std::numeric_limits<SteadyTime>::max();
    bool watching = false;  // a record was Queued or Running at the last scan
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
        if (watching) {
          const SteadyTime periodEnd =
              SteadyNow() + std::chrono::nanoseconds(kWatchdogPeriod).count();
          watchdogCv.WaitUntil(engineMutex, ToTimePoint(std::min(periodEnd, earliestDeadline)));
        } else {
          // Nothing was queued or running at the last scan: only a submission can give the
          // watchdog work, so an idle engine costs no wake-ups at all. The loop's test catches a
          // submission made before this thread first waited or while it cancelled unlocked.
          while (!stopping.load() && !HasWatchedLocked()) {
            watchdogCv.Wait(engineMutex);
          }
        }
        if (stopping.load()) {
          return;
        }
        const SteadyTime now = SteadyNow();
        earliestDeadline = std::numeric_limits<SteadyTime>::max();
        watching = false;
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
