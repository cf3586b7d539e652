// The request table: ids, submission, lookup and counting.
#include <algorithm>
#include <new>
#include <system_error>

#include "engine/http_engine.h"
#include "platform/win32_errors.h"

namespace ksrn {

int32_t HttpEngine::AllocateIdLocked() {
  uint64_t next = idAllocator.nextId.load();
  // Compare-exchange even under the engine lock: the allocator outlives this engine and is
  // shared with the next one, which has a lock of its own.
  while (next != 0 && next <= static_cast<uint64_t>(kMaxRequestId)) {
    if (idAllocator.nextId.compare_exchange_weak(next, next + 1)) {
      return static_cast<int32_t>(next);
    }
  }
  return 0;
}

int32_t HttpEngine::Submit(const RequestRef& request, uint32_t& error) {
  if (!request) {
    error = kErrorInvalidParameter;
    return 0;
  }
  try {
    int32_t id = 0;
    bool wakeWatchdog = false;
    Refusals refusals;
    {
      MutexLock lock(engineMutex);
      if (!accepting || stopping.load()) {
        error = kErrorOperationAborted;
        return 0;
      }
      if (requests.size() >= kMaxRequests) {
        error = kErrorNotEnoughQuota;
        return 0;
      }
      id = AllocateIdLocked();
      if (id == 0) {
        error = kErrorNoMoreItems;
        return 0;
      }
      request->id = id;
      request->registeredAt = SteadyNow();
      request->deadline = request->registeredAt +
                          static_cast<int64_t>(request->timeoutMs) * kNanosecondsPerMillisecond;
      try {
        requests.emplace(id, request);
      } catch (const std::bad_alloc&) {
        request->id = 0;
        error = kErrorNotEnoughMemory;
        return 0;
      }
      try {
        queue.push_back(request);
      } catch (const std::bad_alloc&) {
        requests.erase(id);
        request->id = 0;
        error = kErrorNotEnoughMemory;
        return 0;
      }
      wakeWatchdog = watchdog.WatchLocked(engineMutex, request->deadline);
      if (budgets.InUse()) {
        RefuseIfHopelessLocked(request, refusals);
      }
    }
    PublishRefusals(refusals);
    // Woken after the unlock, so that a worker does not wake only to block on the lock this
    // thread still holds. The entry is in the queue already: a worker that looks now finds it,
    // one asleep gets this notification. The caller's reference keeps the engine alive.
    error = kErrorSuccess;
    queueCv.NotifyOne();
    if (wakeWatchdog) {
      watchdog.Wake();
    }
    return id;
  } catch (const std::system_error&) {
    error = kErrorNotEnoughMemory;
    return 0;
  }
}

RequestRef HttpEngine::Find(int32_t id) const {
  if (id <= 0) {
    return {};
  }
  try {
    MutexLock lock(engineMutex);
    auto it = requests.find(id);
    return it == requests.end() ? RequestRef{} : it->second;
  } catch (const std::system_error&) {
    return {};
  }
}

int32_t HttpEngine::PendingCount() const {
  try {
    MutexLock lock(engineMutex);
    int32_t pending = 0;
    for (const auto& [id, request] : requests) {
      if (request->state.load() != RequestState::Done) {
        ++pending;
      }
    }
    return pending;
  } catch (const std::system_error&) {
    return 0;
  }
}

EngineCounts HttpEngine::Counts() const {
  EngineCounts counts;
  MutexLock lock(engineMutex);
  counts.tableEntries = requests.size();
  counts.queueEntries = queue.size();
  counts.resultBytes = resultBytes;
  counts.watchdogScans = watchdog.ScansLocked(engineMutex);
  for (const auto& [id, request] : requests) {
    MutexLock resultLock(request->resultMutex);
    counts.chargesInTable += request->chargedBytes;
  }
  return counts;
}

WatchedTable::Scan HttpEngine::ScanLocked(SteadyTime now, Overdue& overdue) {
  Scan scan;
  for (const auto& [id, request] : requests) {
    const RequestState state = request->state.load();
    if (state != RequestState::Queued && state != RequestState::Running) {
      continue;
    }
    scan.watching = true;
    if (request->deadline > now) {
      scan.earliestDeadline = std::min(scan.earliestDeadline, request->deadline);
    } else if (scan.overdueCount < overdue.size()) {
      overdue[scan.overdueCount++] = request;
    }
  }
  return scan;
}

}  // namespace ksrn
