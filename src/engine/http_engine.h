// The request engine: the table of live requests and their queue, four workers, the start gate
// (start order and throttle), the deadline watchdog, publication and the budget for stored
// results.
//
// Where each idea lives: the table, ids and submission in engine_table.cpp; the workers in
// engine_workers.cpp; publication, the one way an outcome reaches a record, in
// engine_publish.cpp; cancellation and freeing in engine_cancel.cpp; start and stop in
// engine_lifecycle.cpp; the start gate and the watchdog in types of their own.
//
// Lock order, the only one in which locks nest (declared below, checked by clang's thread-safety
// analysis): stopMutex, then engineMutex, then a record's resultMutex. The start gate's
// dispatchMutex is never held together with another lock. Only stopMutex, which no engine thread
// takes, is held while a thread is joined; no lock is held while a transfer runs or while
// CancelRequest runs.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/http_request.h"
#include "engine/request_id_allocator.h"
#include "engine/start_gate.h"
#include "engine/watchdog.h"
#include "platform/limits.h"
#include "platform/mutex.h"

namespace ksrn {

using RequestRef = std::shared_ptr<HttpRequest>;

// The engine's books at one moment, for diagnostics.
struct EngineCounts {
  size_t tableEntries = 0;
  size_t queueEntries = 0;
  uint64_t resultBytes = 0;
  uint64_t chargesInTable = 0;  // equals resultBytes while the books balance
  uint64_t watchdogScans = 0;
};

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
  bool SetThrottleMs(int32_t ms) { return gate.SetThrottleMs(ms); }
  int32_t ThrottleMs() const { return gate.ThrottleMs(); }

  // None of these waits for a transfer. Cancel: true if id is in the table (a finished record
  // keeps its outcome). Free: removes the record, gives its bytes back to the budget and cancels
  // it. CancelAll: cancels every unfinished record and returns how many.
  bool Cancel(int32_t id);
  bool Free(int32_t id);
  int32_t CancelAll();

  // Refuses further work, cancels every request, joins all threads and empties the engine.
  // Runs once; must not be called from an engine thread.
  void Stop() EXCLUDES(stopMutex, engineMutex);

  EngineCounts Counts() const EXCLUDES(engineMutex);
  // Threads started and not yet joined; only on the thread that calls Stop, before or after it.
  size_t UnjoinedThreads() const;

 private:
  friend class Watchdog;  // reads the table under engineMutex and ends overdue records

  int32_t AllocateIdLocked() REQUIRES(engineMutex);
  void WorkerLoop(size_t worker);
  // Worker steps: the next queue entry (empty once stopping and drained), and the outcome of a
  // claimed record, from the start gate and the transfer.
  RequestRef NextQueued(size_t worker) EXCLUDES(engineMutex);
  void Serve(size_t worker, const RequestRef& request);
  HttpResult Transfer(size_t worker, const RequestRef& request);
  // The one way an outcome reaches a record, for every path that ends one: the worker that ran
  // it (from Running), a cancel or the watchdog for a record nobody claimed (from Queued). The
  // thread whose exchange moves the record from `from` into Completing is its single publisher:
  // it makes the result, only then, so that the result sees the flags as they stand once the
  // record is its own, and stores it. Any other thread leaves the record alone and finds the
  // state it is in in `from`. Called with no lock held.
  template <class MakeResult>
  bool Publish(const RequestRef& request, RequestState& from, MakeResult makeResult) {
    if (!request->state.compare_exchange_strong(from, RequestState::Completing)) {
      return false;
    }
    Complete(request, makeResult());
    return true;
  }
  // Stores the outcome of a record in Completing, charged to the result budget.
  void Complete(const RequestRef& request, HttpResult result) EXCLUDES(engineMutex);
  void CancelRequest(const RequestRef& request, bool timedOut) EXCLUDES(engineMutex);
  void WakeAll();

  // Fixed-size copy of the table for cancelling outside the lock without allocating.
  using Snapshot = std::array<RequestRef, kMaxRequests>;

  // Held for the whole of Stop; no engine thread takes it.
  Mutex stopMutex;
  bool stopped GUARDED_BY(stopMutex) = false;

  mutable Mutex engineMutex ACQUIRED_AFTER(stopMutex);
  CondVar queueCv;  // workers wait here for the queue
  std::deque<RequestRef> queue GUARDED_BY(engineMutex);
  std::unordered_map<int32_t, RequestRef> requests GUARDED_BY(engineMutex);
  uint64_t resultBytes GUARDED_BY(engineMutex) = 0;
  RequestIdAllocator& idAllocator;
  bool accepting GUARDED_BY(engineMutex) = true;
  std::atomic<bool> stopping{false};  // written under engineMutex, read anywhere

  StartGate gate{stopping};
  Watchdog watchdog{*this};
  std::vector<std::thread> workers;
};

}  // namespace ksrn
