// Engine start and stop. The worker threads and the watchdog join this file with the dispatch
// code; until then an engine only registers requests.
#include "engine/http_engine.h"

namespace ksrn {

HttpEngine::HttpEngine(RequestIdAllocator& allocator) : idAllocator(allocator) {
  workers.reserve(kWorkerCount);
}

HttpEngine::~HttpEngine() { Stop(); }

void HttpEngine::Stop() {
  std::call_once(stopOnce, [this] {
    std::lock_guard lock(engineMutex);
    accepting = false;
    stopping.store(true);
    queue.clear();
    requests.clear();
    resultBytes = 0;
  });
}

}  // namespace ksrn
