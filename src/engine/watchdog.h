// The deadline watchdog: a thread that ends requests which overrun their deadline while nobody
// else looks at them (queued behind busy workers, waiting for the start gate, or stuck in a
// transfer), and the time of its next scan.
//
// It reads the engine's table under the engine's lock and sleeps under that lock too, so that a
// submission's earlier deadline cannot fall between its last look and its sleep. Its own state
// is guarded by that lock, which its callers pass in.
#pragma once

#include <cstdint>
#include <limits>
#include <thread>

#include "platform/mutex.h"
#include "platform/steady_clock.h"

namespace ksrn {

class HttpEngine;

class Watchdog {
 public:
  explicit Watchdog(HttpEngine& engine) : engine(engine) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Starts the thread; throws what std::thread throws.
  void Start();
  // Joins the thread once the engine is stopping; harmless when it never started.
  void Join();
  bool Joinable() const { return thread.joinable(); }
  // Wakes the thread, so that it re-reads its next scan time and the stopping flag.
  void Wake() { wakeCv.NotifyAll(); }

  // A request with this deadline is watched from now on: the next scan comes no later than it.
  // True when the thread must be woken to see that (Wake, after dropping the lock).
  bool WatchLocked(Mutex& tableMutex, SteadyTime deadline) REQUIRES(tableMutex);
  // Scans so far: what the watchdog has cost. An idle engine costs none.
  uint64_t ScansLocked(Mutex& tableMutex) const REQUIRES(tableMutex);

 private:
  // When the next scan is due at the latest; kNever while nothing is queued or running.
  static constexpr SteadyTime kNever = std::numeric_limits<SteadyTime>::max();

  void Run();

  HttpEngine& engine;
  CondVar wakeCv;
  // Guarded by the engine's lock.
  SteadyTime wakeAt = kNever;
  uint64_t scans = 0;
  std::thread thread;
};

}  // namespace ksrn
