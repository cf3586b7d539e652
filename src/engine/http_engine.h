// The request engine: the table of live requests and their queue, four workers, the start gate
// (start order and throttle), the deadline watchdog, publication and the budget for stored
// results.
//
// Where each idea lives: the table, ids and submission in engine_table.cpp; the workers and the
// order in which they take records in engine_workers.cpp; publication, the one way an outcome
// reaches a record, in engine_publish.cpp; cancellation and freeing in engine_cancel.cpp; the
// per-host budgets as the host calls them in engine_budgets.cpp; start and stop in
// engine_lifecycle.cpp; the start gate, the watchdog and the budget table in types of their own.
//
// Lock order, the only one in which locks nest (declared below, checked by clang's thread-safety
// analysis): stopMutex, then engineMutex, then a record's resultMutex. The budget table's locks
// are leaves, taken under engineMutex or the start gate's dispatchMutex; dispatchMutex is never
// held together with any other lock. Only stopMutex, which no engine thread takes, is held while
// a thread is joined; no lock is held while a transfer runs or while CancelRequest runs.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/completion_signal.h"
#include "engine/host_budgets.h"
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

class HttpEngine final : private WatchedTable {
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
  // How long a connection may stay open unused for the next request to its host, 0 to
  // kMaxKeepAliveMs (0: a fresh connection per request, as after start); anything else is
  // refused and changes nothing. Stop closes every idle connection.
  bool SetKeepAliveMs(int32_t ms);

  // Per-host budgets (host: an allowlist index; the caller checked every range). Setting one, or
  // sharing, takes effect for the records still queued at once. Share returns 0 or the region's
  // refusal.
  void SetHostBudget(int host, int32_t units, int32_t periodMs);
  uint32_t ShareBudgets(std::string_view name);
  int32_t HostBudgetUnits(int host) { return budgets.Units(host); }
  int64_t HostHoldMs(int host) { return budgets.HoldLeftMs(host, SteadyNow()); }
  uint64_t HostUnitsLeft(int host) { return budgets.UnitsLeft(host, SteadyNow()); }

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
  int32_t AllocateIdLocked() REQUIRES(engineMutex);
  void WorkerLoop(size_t worker);
  // Fixed-size copy of the table for cancelling outside the lock without allocating.
  using Snapshot = Overdue;
  // Records taken out of the queue because their units cannot come before their deadline, to
  // be published with ERROR_RETRY once the lock is dropped.
  struct Refusals {
    Snapshot records;
    size_t count = 0;
  };

  // Worker steps: the next record to serve, or none after refusals; false once stopping and
  // drained. Then the outcome of a claimed record, from the start gate and the transfer.
  bool NextQueued(size_t worker, RequestRef& request, Refusals& refusals) EXCLUDES(engineMutex);
  // The queue entry a worker may take now, its units reserved, or queue.end(): the first in
  // queue order, except that a budgeted host's record waits in the queue while its units are
  // missing, and so do the later records of that host. Records that cannot get their units
  // before their deadline leave the queue into refusals; retryAt is lowered to the earliest time
  // a waiting record's units come.
  std::deque<RequestRef>::iterator PickLocked(Refusals& refusals, SteadyTime& retryAt)
      REQUIRES(engineMutex);
  // A record just queued whose units cannot come before its deadline, counting the records of
  // its host queued before it, leaves the queue into refusals at once.
  void RefuseIfHopelessLocked(const RequestRef& request, Refusals& refusals) REQUIRES(engineMutex);
  void PublishRefusals(const Refusals& refusals);
  // Wakes every worker waiting for the queue, after a change that may let a waiting record go.
  void WakeWorkers() EXCLUDES(engineMutex);
  void Serve(size_t worker, const RequestRef& request);
  HttpResult Transfer(size_t worker, const RequestRef& request);
  // A budgeted host that answered 429, 418 or 503 is held as it asked.
  void HoldHostAfter(const HttpRequest& request, const HttpResult& result);
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
  // What the watchdog sees of the table, and how it ends a record.
  Scan ScanLocked(SteadyTime now, Overdue& overdue) override REQUIRES(engineMutex);
  void EndOverdue(const RequestRef& request) override { CancelRequest(request, true); }
  void WakeAll();

  // Held for the whole of Stop; no engine thread takes it.
  Mutex stopMutex;
  bool stopped GUARDED_BY(stopMutex) = false;

  mutable Mutex engineMutex ACQUIRED_AFTER(stopMutex);
  CondVar queueCv;  // workers wait here for the queue
  std::deque<RequestRef> queue GUARDED_BY(engineMutex);
  std::unordered_map<int32_t, RequestRef> requests GUARDED_BY(engineMutex);
  uint64_t resultBytes GUARDED_BY(engineMutex) = 0;
  RequestIdAllocator& idAllocator;
  CompletionSignal& completions;  // told of every publication and of the stop
  bool accepting GUARDED_BY(engineMutex) = true;
  std::atomic<bool> stopping{false};  // written under engineMutex, read anywhere

  HostBudgets budgets;
  StartGate gate{stopping, budgets};
  Watchdog watchdog{*this, engineMutex, stopping};
  std::vector<std::thread> workers;
};

}  // namespace ksrn
