// Engine start and stop: the four workers and the watchdog, the one-time Stop, the destructor,
// and the connection settings that last as long as the engine.
#include "engine/http_engine.h"

namespace ksrn {

HttpEngine::HttpEngine(RequestIdAllocator& allocator)
    : idAllocator(allocator), completions(CompletionSignal::Get()) {
  // Each engine starts with fresh connections only and the proxy settings of its start.
  net::HttpSetKeepAlive(0);
  net::HttpReadProxySettings();
  try {
    workers.reserve(kWorkerCount);
    for (size_t worker = 0; worker < StartGate::kPlaces; ++worker) {
      workers.emplace_back([this, worker] { WorkerLoop(worker); });
    }
    watchdog.Start();
  } catch (...) {
    // A thread could not be started. The ones already running must end and be joined here: no
    // destructor runs for a half-built engine, and a joinable std::thread would abort.
    {
      MutexLock lock(engineMutex);
      stopping.store(true);
    }
    WakeAll();
    for (std::thread& worker : workers) {
      worker.join();
    }
    watchdog.Join();
    throw;
  }
}

HttpEngine::~HttpEngine() {
  Stop();
  // The members go in reverse order of declaration: the thread objects (all joined), then the
  // table and the queue.
}

void HttpEngine::WakeAll() {
  queueCv.NotifyAll();
  watchdog.Wake();
  gate.WakeWaiters();
}

// A second caller waits on stopMutex until the first has finished, then returns. Not
// std::call_once: it keeps its state in the C++ runtime's thread-locals, which a runtime loaded
// with the library allocates on a host thread's first use, aborting the process if that fails.
//
// Ordering that matters here: accepting and stopping change under the same lock hold that takes
// the snapshot, so every record a concurrent Submit managed to register is in the snapshot and
// gets cancelled; later submissions are refused. The queued records are published with 995 and
// leave the queue right here, before any join. Workers then leave their transfers (handles
// closed) or their start gate waits (cancelled flag, wake-up through dispatchMutex) and end. No
// engine lock is held while cancelling or joining; stopMutex is Stop's alone.
void HttpEngine::Stop() {
  MutexLock stopLock(stopMutex);
  if (stopped) {
    return;
  }
  Snapshot snapshot;
  size_t count = 0;
  {
    MutexLock lock(engineMutex);
    accepting = false;
    stopping.store(true);
    for (const auto& [id, request] : requests) {
      if (count < snapshot.size()) {
        snapshot[count++] = request;
      }
    }
  }
  for (size_t i = 0; i < count; ++i) {
    CancelRequest(snapshot[i], false);
  }
  WakeAll();
  for (std::thread& worker : workers) {
    if (worker.joinable()) {
      worker.join();
    }
  }
  watchdog.Join();
  net::HttpSetKeepAlive(0);
  {
    MutexLock lock(engineMutex);
    queue.clear();
    requests.clear();
    resultBytes = 0;
  }
  stopped = true;
  // Waiters learn of the stop even when no request was left to publish.
  completions.Notify();
}

bool HttpEngine::SetKeepAliveMs(int32_t ms) {
  if (ms < 0 || ms > kMaxKeepAliveMs) {
    return false;
  }
  net::HttpSetKeepAlive(ms);
  return true;
}

size_t HttpEngine::UnjoinedThreads() const {
  size_t count = watchdog.Joinable() ? 1 : 0;
  for (const std::thread& worker : workers) {
    count += worker.joinable() ? 1 : 0;
  }
  return count;
}

}  // namespace ksrn
