// The start gate: the one place that decides which claimed request starts its transfer next, and
// when. It owns the start order (a ticket per running place, drawn in queue order), the throttle
// (one global spacing between grants), the grant of a budgeted host's units at the moment of the
// start, and dispatchMutex, under which only the budgets' leaf locks are ever taken.
//
// Start order: a worker draws a ticket as it takes a record from the queue, kept in its place's
// slot; a grant goes only to the lowest ticket held. A ticket is given up as soon as its record
// will not start (skipped, cancelled, out of time, stopping), so it never holds back the tickets
// after it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/host_budgets.h"
#include "engine/http_request.h"
#include "platform/limits.h"
#include "platform/mutex.h"
#include "platform/steady_clock.h"

namespace ksrn {

class StartGate {
 public:
  // One running place per worker.
  static constexpr size_t kPlaces = static_cast<size_t>(kWorkerCount);

  // stopping is the engine's flag: once raised, every wait ends and nothing more is granted.
  StartGate(const std::atomic<bool>& stopping, HostBudgets& budgets)
      : stopping(stopping), budgets(budgets) {}
  StartGate(const StartGate&) = delete;
  StartGate& operator=(const StartGate&) = delete;

  // The place takes the next ticket. Called under the lock that orders the queue, as its record
  // leaves the queue, so that tickets follow queue order and a later ticket is never seen
  // without the earlier ones.
  void TakeTicket(size_t place) { tickets[place].store(nextTicket.fetch_add(1)); }

  // True when the place's request may start now, with the grant's time in startedAt; false when
  // it must not be transferred (cancelled, past its deadline, which also raises its timedOut,
  // its units cannot come before its deadline, which sets its unitsRefused, or stopping). The
  // place's ticket, and any units reserved for it but not taken, are given up on every return.
  bool WaitForDispatch(size_t place, HttpRequest& request, SteadyTime& startedAt)
      EXCLUDES(dispatchMutex);
  // Gives up a ticket whose record will not come to WaitForDispatch.
  void GiveUpTicket(size_t place) EXCLUDES(dispatchMutex);

  // Minimum spacing between grants, 0 to kMaxThrottleMs; anything else is refused and changes
  // nothing. Applies at once to the waiters, measured from the last grant.
  bool SetThrottleMs(int32_t ms) EXCLUDES(dispatchMutex);
  int32_t ThrottleMs() const { return throttleMs.load(); }

  // Wakes every waiter so that it re-checks its flags, the stopping flag and the throttle at once.
  // Call after raising any of them.
  void WakeWaiters() EXCLUDES(dispatchMutex);

 private:
  // The grant decision: true when the place may start at now, its units taken; otherwise when to
  // look again.
  bool TryStartLocked(size_t place, HttpRequest& request, SteadyTime now, SteadyTime& wakeAt)
      REQUIRES(dispatchMutex);
  // The place holding the lowest ticket; kPlaces when none holds one.
  size_t FirstInLine() const;

  const std::atomic<bool>& stopping;
  HostBudgets& budgets;

  Mutex dispatchMutex;
  // One per place, so that the end of a ticket wakes only the place next in line.
  std::array<CondVar, kPlaces> dispatchCvs;
  SteadyTime lastDispatch GUARDED_BY(dispatchMutex) = 0;
  bool hasLastDispatch GUARDED_BY(dispatchMutex) = false;
  std::atomic<int32_t> throttleMs{0};

  // Each place's ticket, kNoTicket when it holds none. Set as the place takes its record; cleared
  // by the place, followed by a wake-up through dispatchMutex.
  static constexpr uint64_t kNoTicket = 0;
  std::array<std::atomic<uint64_t>, kPlaces> tickets{};
  std::atomic<uint64_t> nextTicket{1};
};

}  // namespace ksrn
