// The start gate's decisions: start order by ticket, the throttle's spacing, and the wake-ups.
#include "engine/start_gate.h"

#include <algorithm>

namespace ksrn {

// Every wait is bounded by the record's deadline and, for the first in line, by the next
// permitted start; the flags that end a wait early, and the end of the ticket ahead, are
// published before a pass through dispatchMutex, so no wake-up is lost between a check below and
// the wait.
bool StartGate::WaitForDispatch(size_t place, HttpRequest& request, SteadyTime& startedAt) {
  struct Release {
    StartGate& gate;
    size_t place;
    HttpRequest& request;
    ~Release() {
      if (request.unitsReserved) {
        gate.budgets.Unreserve(request.hostIndex, request.weight);
        request.unitsReserved = false;
      }
      gate.GiveUpTicket(place);
    }
  } release{*this, place, request};
  MutexLock lock(dispatchMutex);
  if (stopping.load()) {
    return false;
  }
  for (;;) {
    if (request.cancelled.load()) {
      return false;
    }
    const SteadyTime now = SteadyNow();
    if (now >= request.deadline) {
      request.timedOut.store(true);
      return false;
    }
    if (request.timedOut.load()) {
      return false;
    }
    SteadyTime wakeAt = 0;
    if (TryStartLocked(place, request, now, wakeAt)) {
      // Grants made at throttle 0 are recorded too, so a throttle set later counts from them.
      lastDispatch = now;
      hasLastDispatch = true;
      startedAt = now;
      return true;
    }
    if (request.unitsRefused) {
      return false;
    }
    dispatchCvs[place].WaitUntil(dispatchMutex, ToTimePoint(wakeAt));
    if (stopping.load()) {
      return false;
    }
  }
}

// One global spacing between grants, measured from each grant, granted in ticket order. The units
// reserved when the record left the queue are taken only with the grant, so that the budget
// counts the start at its true time; they can be missing then only when another process sharing
// the budget took them meanwhile, and the start waits for them, first in line.
bool StartGate::TryStartLocked(size_t place, HttpRequest& request, SteadyTime now,
                               SteadyTime& wakeAt) {
  const int64_t spacingNs = static_cast<int64_t>(throttleMs.load()) * kNanosecondsPerMillisecond;
  const bool first = FirstInLine() == place;
  if (!first || (spacingNs != 0 && hasLastDispatch && now < lastDispatch + spacingNs)) {
    wakeAt = first ? std::min(request.deadline, lastDispatch + spacingNs) : request.deadline;
    return false;
  }
  if (request.unitsReserved) {
    SteadyTime unitsAt = kNeverTime;
    if (!budgets.Take(request.hostIndex, request.weight, now, request.deadline,
                      request.budgetFlight, unitsAt)) {
      request.unitsRefused = unitsAt > request.deadline;
      wakeAt = std::min(request.deadline, unitsAt);
      return false;
    }
    request.unitsReserved = false;
  }
  return true;
}

size_t StartGate::FirstInLine() const {
  size_t first = kPlaces;
  uint64_t lowest = kNoTicket;
  for (size_t place = 0; place < kPlaces; ++place) {
    const uint64_t ticket = tickets[place].load();
    if (ticket != kNoTicket && (lowest == kNoTicket || ticket < lowest)) {
      lowest = ticket;
      first = place;
    }
  }
  return first;
}

// Only the end of the first ticket changes anything for the others, and then only for the next
// one, which starts its wait for the next slot; waking every waiter at each grant would have them
// all compete with the granted worker for the processor as its transfer begins.
void StartGate::GiveUpTicket(size_t place) {
  const bool wasFirst = FirstInLine() == place;
  tickets[place].store(kNoTicket);
  if (!wasFirst) {
    return;
  }
  const size_t next = FirstInLine();
  if (next == kPlaces) {
    return;
  }
  // As in WakeWaiters: the next place either sees the ticket gone or is asleep.
  { MutexLock lock(dispatchMutex); }
  dispatchCvs[next].NotifyOne();
}

bool StartGate::SetThrottleMs(int32_t ms) {
  // Taken as unsigned, so negative values are refused with the too-large ones.
  if (static_cast<uint32_t>(ms) > static_cast<uint32_t>(kMaxThrottleMs)) {
    return false;
  }
  throttleMs.store(ms);
  WakeWaiters();
  return true;
}

void StartGate::WakeWaiters() {
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
