// The request engine: the table of live requests, the dispatch queue, four workers, the deadline
// watchdog, the dispatch throttle and the budget for stored results.
//
// Lock order, the only one in which locks nest: stopMutex, then engineMutex, then a record's
// resultMutex. dispatchMutex is never held together with another lock. Only stopMutex, which no
// engine thread takes, is held while a thread is joined; no lock is held while a transfer runs
// or while CancelRequest runs.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/http_request.h"
#include "engine/request_id_allocator.h"
#include "platform/limits.h"

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
  void Stop();

 private:
  int32_t AllocateIdLocked();
  void WorkerLoop();
  bool WaitForDispatch(const RequestRef& request);
  void Publish(const RequestRef& request, HttpResult result);
  void WatchdogLoop();
  void CancelRequest(const RequestRef& request, bool timedOut);
  void WakeAll();

  // Worker steps: the next queue entry (empty once stopping and drained), and the outcome of a
  // claimed record, from the throttle gate and the transfer.
  RequestRef NextQueued();
  void Serve(const RequestRef& request);
  HttpResult Transfer(const RequestRef& request);
  // Wakes every throttle waiter so that it re-checks its flags and the throttle at once.
  void WakeDispatchWaiters();

  static std::chrono::steady_clock::time_point ToTimePoint(SteadyTime time) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(time)));
  }

  // White-box access for the engine's own tests (budget and thread invariants).
  friend struct EngineProbe;

  // Fixed-size copy of the table for cancelling outside the lock without allocating.
  using Snapshot = std::array<RequestRef, kMaxRequests>;

  mutable std::mutex
      engineMutex;  // guards queue, requests, resultBytes, accepting, stopping's writes
  std::condition_variable queueCv;                   // workers wait here (engineMutex)
  std::condition_variable watchdogCv;                // the watchdog sleeps here (engineMutex)
  std::deque<RequestRef> queue;                      // engineMutex
  std::unordered_map<int32_t, RequestRef> requests;  // engineMutex
  uint64_t resultBytes = 0;                          // engineMutex
  uint64_t watchdogScans = 0;                        // engineMutex; for the engine's own tests
  RequestIdAllocator& idAllocator;
  bool accepting = true;              // engineMutex
  std::atomic<bool> stopping{false};  // written under engineMutex

  std::mutex dispatchMutex;  // guards lastDispatch and hasLastDispatch; never nested
  std::condition_variable dispatchCv;
  SteadyTime lastDispatch = 0;   // dispatchMutex
  bool hasLastDispatch = false;  // dispatchMutex
  std::atomic<int32_t> throttleMs{0};

  std::vector<std::thread> workers;
  std::thread watchdog;
  std::mutex stopMutex;  // held for the whole of Stop; taken before any other lock
  bool stopped = false;  // stopMutex
};

}  // namespace ksrn
