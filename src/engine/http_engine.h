// The request engine: the table of live requests, the dispatch queue, four workers, the deadline
// watchdog, the dispatch throttle and the budget for stored results.
//
// Start order: workers take records from the queue in submission order and draw a ticket as
// they do, kept in the worker's own slot; the throttle grants a start only to the lowest ticket
// held. A ticket is given up as soon as its record will not start (skipped, cancelled, out of
// time, stopping), so it never holds back the tickets after it.
//
// Lock order, the only one in which locks nest (declared below, checked by clang's thread-safety
// analysis): stopMutex, then engineMutex, then a record's resultMutex. dispatchMutex is never
// held together with another lock. Only stopMutex, which no engine thread takes, is held while a
// thread is joined; no lock is held while a transfer runs or while CancelRequest runs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/http_request.h"
#include "engine/request_id_allocator.h"
#include "platform/limits.h"
#include "platform/mutex.h"

namespace ksrn {

using RequestRef = std::shared_ptr<HttpRequest>;

class HttpEngine {
 public:
  // Starts the four workers and the watchdog; if a thread cannot be started, stops and joins
  // what was started and rethrows.
  explicit HttpEngine(RequestIdAllocator& allocator);
  ~HttpEngine();
  HttpEngine(const HttpEngine&) = delete;
  HttpEngine& operator=(const HttpEngine&) = delete;

  // Registers a record under a new id and queues it. Returns the id, or 0 with the reason in
  // error: 87 empty record, 995 stopping, 1816 table full, 259 ids exhausted, 8 out of memory.
  int32_t Submit(const RequestRef& request, uint32_t& error);
  // The record registered under id, or empty.
  RequestRef Find(int32_t id) const;
  // Table entries not yet Done.
  int32_t PendingCount() const;

  // Minimum spacing between transfer starts, 0 to kMaxThrottleMs; anything else is refused and
  // changes nothing.
  bool SetThrottleMs(int32_t ms);

  // None of these waits for a transfer. Cancel: true if id is in the table (a finished record
  // keeps its outcome). Free: removes the record, gives its bytes back to the budget and cancels
  // it. CancelAll: cancels every unfinished record and returns how many.
  bool Cancel(int32_t id);
  bool Free(int32_t id);
  int32_t CancelAll();

  // Refuses further work, cancels every request, joins all threads and empties the engine.
  // Runs once; must not be called from an engine thread.
  void Stop() EXCLUDES(stopMutex, engineMutex);

 private:
  int32_t AllocateIdLocked() REQUIRES(engineMutex);
  void WorkerLoop(size_t worker);
  // True when the transfer may start now, with the grant's time in startedAt. The worker's
  // ticket is given up on every return.
  bool WaitForDispatch(size_t worker, const RequestRef& request, SteadyTime& startedAt)
      EXCLUDES(dispatchMutex);
  // The worker holding the lowest ticket; tickets.size() when none holds one.
  size_t FirstInLine() const;
  // Empties the worker's ticket slot; when it was first in line, wakes the worker next in line.
  void GiveUpTicket(size_t worker) EXCLUDES(dispatchMutex);
  void Publish(const RequestRef& request, HttpResult result) EXCLUDES(engineMutex);
  void WatchdogLoop() EXCLUDES(engineMutex);
  void CancelRequest(const RequestRef& request, bool timedOut) EXCLUDES(engineMutex);
  void WakeAll();

  // Worker steps: the next queue entry (empty once stopping and drained), and the outcome of a
  // claimed record, from the throttle gate and the transfer.
  RequestRef NextQueued(size_t worker) EXCLUDES(engineMutex);
  void Serve(size_t worker, const RequestRef& request);
  HttpResult Transfer(size_t worker, const RequestRef& request);
  // Wakes every throttle waiter so that it re-checks its flags and the throttle at once.
  void WakeDispatchWaiters() EXCLUDES(dispatchMutex);

  static std::chrono::steady_clock::time_point ToTimePoint(SteadyTime time) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(time)));
  }

  // White-box access for the engine's own tests (budget and thread invariants).
  friend struct EngineProbe;

  // Fixed-size copy of the table for cancelling outside the lock without allocating.
  using Snapshot = std::array<RequestRef, kMaxRequests>;

  // Held for the whole of Stop; no engine thread takes it.
  Mutex stopMutex;
  bool stopped GUARDED_BY(stopMutex) = false;

  mutable Mutex engineMutex ACQUIRED_AFTER(stopMutex);
  CondVar queueCv;     // workers wait here for the queue
  CondVar watchdogCv;  // the watchdog sleeps here
  std::deque<RequestRef> queue GUARDED_BY(engineMutex);
  std::unordered_map<int32_t, RequestRef> requests GUARDED_BY(engineMutex);
  uint64_t nextTicket GUARDED_BY(engineMutex) = 1;
  uint64_t resultBytes GUARDED_BY(engineMutex) = 0;
  uint64_t watchdogScans GUARDED_BY(engineMutex) = 0;  // for the engine's own tests
  // When the watchdog scans next at the latest; kNever while nothing is queued or running.
  static constexpr SteadyTime kNever = std::numeric_limits<SteadyTime>::max();
  SteadyTime watchdogWakeAt GUARDED_BY(engineMutex) = kNever;
  RequestIdAllocator& idAllocator;
  bool accepting GUARDED_BY(engineMutex) = true;
  std::atomic<bool> stopping{false};  // written under engineMutex, read anywhere

  // Never held together with another lock.
  Mutex dispatchMutex;
  // One per worker, so that the end of a ticket wakes only the worker next in line.
  std::array<CondVar, static_cast<size_t>(kWorkerCount)> dispatchCvs;
  SteadyTime lastDispatch GUARDED_BY(dispatchMutex) = 0;
  bool hasLastDispatch GUARDED_BY(dispatchMutex) = false;
  // Each worker's start ticket, kNoTicket when it holds none. Set under engineMutex as the worker
  // takes its record, so that a later ticket is never seen without the earlier ones; cleared by
  // the worker, followed by a wake-up through dispatchMutex.
  static constexpr uint64_t kNoTicket = 0;
  std::array<std::atomic<uint64_t>, static_cast<size_t>(kWorkerCount)> tickets{};
  std::atomic<int32_t> throttleMs{0};

  std::vector<std::thread> workers;
  std::thread watchdog;
};

}  // namespace ksrn
