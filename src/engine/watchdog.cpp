// The watchdog's thread: it sleeps until the next deadline or period, then ends overdue requests.
#include "engine/watchdog.h"

#include <algorithm>

#include "engine/http_engine.h"

namespace ksrn {
namespace {

bool IsWatched(RequestState state) {
  return state == RequestState::Queued || state == RequestState::Running;
}

}  // namespace

void Watchdog::Start() {
  thread = std::thread([this] { Run(); });
}

void Watchdog::Join() {
  if (thread.joinable()) {
    thread.join();
  }
}

// Lowered only, and only then a wake-up: a submission whose deadline falls after the next scan
// anyway costs the watchdog nothing.
bool Watchdog::WatchLocked(Mutex& /*tableMutex*/, SteadyTime deadline) {
  if (deadline >= wakeAt) {
    return false;
  }
  wakeAt = deadline;
  return true;
}

uint64_t Watchdog::ScansLocked(Mutex& /*tableMutex*/) const { return scans; }

// While a record is queued or running, sleeps at most kWatchdogPeriod, and no longer than the
// earliest deadline still ahead, so an overdue request is usually ended within scheduling delay
// of its deadline rather than up to a period later. With nothing to watch it sleeps until the
// next submission. Overdue records that refuse to end (a transfer that ignores the closing of its
// handles) are looked at again each period, never in a busy loop.
//
// A record collected as overdue may move on before it is acted on: claimed by a worker (the
// time-out cancel then finds Running, closes the handles and wakes the start gate's waiters, and
// the worker publishes 12002), published by a cancel or its worker (the exchange fails and the
// late flag changes nothing), or freed (the snapshot keeps it alive; whoever wins the exchange
// publishes it, uncharged). A Done record is never collected.
void Watchdog::Run() {
  try {
    for (;;) {
      HttpEngine::Snapshot overdue;
      size_t count = 0;
      {
        MutexLock lock(engine.engineMutex);
        // Tested under the lock before every wait: Stop sets stopping under this lock and then
        // wakes this thread, so its wake-up cannot fall between this test and the wait.
        if (engine.stopping.load()) {
          return;
        }
        // A submission made while this thread scanned or cancelled unlocked has lowered the
        // time already.
        if (wakeAt == kNever) {
          while (!engine.stopping.load() && wakeAt == kNever) {
            wakeCv.Wait(engine.engineMutex);
          }
        } else {
          wakeCv.WaitUntil(engine.engineMutex, ToTimePoint(wakeAt));
        }
        if (engine.stopping.load()) {
          return;
        }
        const SteadyTime now = SteadyNow();
        SteadyTime earliestDeadline = kNever;
        bool watching = false;
        ++scans;
        for (const auto& [id, request] : engine.requests) {
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
        wakeAt = watching ? std::min(periodEnd, earliestDeadline) : kNever;
      }
      for (size_t i = 0; i < count; ++i) {
        engine.CancelRequest(overdue[i], true);
      }
      // The snapshot goes here, outside the lock: it may hold the last reference to a freed
      // record and its buffers.
    }
  } catch (...) {
    // Only a failing lock can get here; the thread ends and Stop still joins it.
  }
}

}  // namespace ksrn
