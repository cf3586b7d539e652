// The watchdog's thread: it sleeps until the next deadline or period, then ends overdue requests.
#include "engine/watchdog.h"

#include <algorithm>

namespace ksrn {

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
bool Watchdog::WatchLocked(Mutex& /*lock*/, SteadyTime deadline) {
  if (deadline >= wakeAt) {
    return false;
  }
  wakeAt = deadline;
  return true;
}

uint64_t Watchdog::ScansLocked(Mutex& /*lock*/) const { return scans; }

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
      WatchedTable::Overdue overdue;
      WatchedTable::Scan scan;
      {
        MutexLock lock(tableMutex);
        // Tested under the lock before every wait: stopping is raised under this lock and then
        // this thread is woken, so the wake-up cannot fall between this test and the wait.
        if (stopping.load()) {
          return;
        }
        // A submission made while this thread scanned or ended records unlocked has lowered the
        // time already.
        if (wakeAt == kNever) {
          while (!stopping.load() && wakeAt == kNever) {
            wakeCv.Wait(tableMutex);
          }
        } else {
          wakeCv.WaitUntil(tableMutex, ToTimePoint(wakeAt));
        }
        if (stopping.load()) {
          return;
        }
        const SteadyTime now = SteadyNow();
        ++scans;
        scan = table.ScanLocked(now, overdue);
        const SteadyTime periodEnd = now + std::chrono::nanoseconds(kWatchdogPeriod).count();
        wakeAt = scan.watching ? std::min(periodEnd, scan.earliestDeadline) : kNever;
      }
      for (size_t i = 0; i < scan.overdueCount; ++i) {
        table.EndOverdue(overdue[i]);
      }
      // The snapshot goes here, outside the lock: it may hold the last reference to a freed
      // record and its buffers.
    }
  } catch (...) {
    // Only a failing lock can get here; the thread ends and Stop still joins it.
  }
}

}  // namespace ksrn
