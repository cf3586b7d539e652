// The deadline watchdog: a thread that ends requests which overrun their deadline while nobody
// else looks at them (queued behind busy workers, waiting for the start gate, or stuck in a
// transfer), and the time of its next scan.
//
// It reads the table under the table's lock and sleeps under that lock too, so that a
// submission's earlier deadline cannot fall between its last look and its sleep. Its own state
// is guarded by that lock.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>

#include "engine/http_request.h"
#include "platform/limits.h"
#include "platform/mutex.h"
#include "platform/steady_clock.h"

namespace ksrn {

// The table the watchdog watches, as its owner provides it.
class WatchedTable {
 public:
  using Overdue = std::array<std::shared_ptr<HttpRequest>, kMaxRequests>;
  struct Scan {
    bool watching = false;  // a record is queued or running
    SteadyTime earliestDeadline = std::numeric_limits<SteadyTime>::max();  // still ahead
    size_t overdueCount = 0;
  };

  // Under the table lock: the queued and running records past their deadline at now go into
  // overdue.
  virtual Scan ScanLocked(SteadyTime now, Overdue& overdue) = 0;
  // With no lock held: ends a record found overdue, as a time-out.
  virtual void EndOverdue(const std::shared_ptr<HttpRequest>& request) = 0;

 protected:
  ~WatchedTable() = default;
};

class Watchdog {
 public:
  Watchdog(WatchedTable& table, Mutex& tableMutex, const std::atomic<bool>& stopping)
      : table(table), tableMutex(tableMutex), stopping(stopping) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Starts the thread; throws what std::thread throws.
  void Start();
  // Joins the thread once stopping is raised; harmless when it never started.
  void Join();
  bool Joinable() const { return thread.joinable(); }
  // Wakes the thread, so that it re-reads its next scan time and the stopping flag.
  void Wake() { wakeCv.NotifyAll(); }

  // A request with this deadline is watched from now on: the next scan comes no later than it.
  // True when the thread must be woken to see that (Wake, after dropping the lock).
  bool WatchLocked(Mutex& lock, SteadyTime deadline) REQUIRES(lock);
  // Scans so far: what the watchdog has cost. An idle engine costs none.
  uint64_t ScansLocked(Mutex& lock) const REQUIRES(lock);

 private:
  // When the next scan is due at the latest; kNever while nothing is queued or running.
  static constexpr SteadyTime kNever = std::numeric_limits<SteadyTime>::max();

  void Run();

  WatchedTable& table;
  Mutex& tableMutex;
  const std::atomic<bool>& stopping;  // raised under tableMutex, then Wake
  CondVar wakeCv;
  // Guarded by tableMutex, which WatchLocked and ScansLocked are given.
  SteadyTime wakeAt = kNever;
  uint64_t scans = 0;
  std::thread thread;
};

}  // namespace ksrn
