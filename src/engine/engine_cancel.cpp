// Cancellation and freeing. Nothing here waits for a transfer: a record nobody has claimed is
// published at once, a claimed one has its handles closed and is published by its worker.
#include <algorithm>
#include <system_error>

#include "engine/http_engine.h"
#include "platform/win32_errors.h"

namespace ksrn {

// Shared by Cancel, Free, CancelAll, Stop and the watchdog; called with no engine lock held,
// because Publish takes engineMutex.
//
// The flag goes up before the state exchange, so whichever thread publishes sees it:
// - exchange from Queued wins: no worker has the record; this thread is its only publisher.
//   A worker that pops it later fails its claim and skips it without a transfer.
// - the record is Running: its worker publishes. The worker may still be waiting for the
//   start gate (the wake-up below ends the wait), about to start the transfer (HttpDownload tests
//   the flags on entry and after installing each handle), or inside it (closing the handles
//   fails the blocked call at once). Each handle is closed exactly once whoever gets to it.
// - Completing or Done: another thread publishes or has published; the late flag changes
//   nothing the host reads. With both flags raised, 12002 wins over 995 everywhere.
void HttpEngine::CancelRequest(const RequestRef& request, bool timedOut) {
  if (!request) {
    return;
  }
  (timedOut ? request->timedOut : request->cancelled).store(true);
  RequestState found = RequestState::Queued;
  const bool published = Publish(request, found, [&] {
    return HttpResult::Failure(request->timedOut.load() ? kErrorWinhttpTimeout
                                                        : kErrorOperationAborted);
  });
  if (!published && found == RequestState::Running) {
    request->CloseNetworkHandles();
  }
  gate.WakeWaiters();
}

bool HttpEngine::Cancel(int32_t id) {
  const RequestRef request = Find(id);
  if (!request) {
    return false;
  }
  CancelRequest(request, false);
  return true;
}

bool HttpEngine::Free(int32_t id) {
  RequestRef request;
  try {
    MutexLock lock(engineMutex);
    const auto entry = requests.find(id);
    if (entry == requests.end()) {
      return false;
    }
    request = entry->second;
    {
      MutexLock resultLock(request->resultMutex);
      resultBytes -= std::min(resultBytes, request->chargedBytes);
      request->chargedBytes = 0;
    }
    requests.erase(entry);
  } catch (const std::system_error&) {
    // The entry stays; the record is still cancelled (nothing happens if no lock was had).
    CancelRequest(request, false);
    return false;
  }
  // The record may be running: its worker keeps it alive, publishes into it uncharged (it is no
  // longer in the table) and drops the last reference.
  CancelRequest(request, false);
  return true;
}

int32_t HttpEngine::CancelAll() {
  // The table never holds more than kMaxRequests, so the fixed snapshot takes all of it and
  // cancelling needs no allocation.
  Snapshot snapshot;
  size_t count = 0;
  try {
    MutexLock lock(engineMutex);
    for (const auto& [id, request] : requests) {
      if (count < snapshot.size() && request->state.load() != RequestState::Done) {
        snapshot[count++] = request;
      }
    }
  } catch (const std::system_error&) {
    return 0;
  }
  for (size_t i = 0; i < count; ++i) {
    CancelRequest(snapshot[i], false);
  }
  return static_cast<int32_t>(count);
}

}  // namespace ksrn
