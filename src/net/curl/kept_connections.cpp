#include "net/curl/kept_connections.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <vector>

#include "net/http_ops.h"
#include "platform/mutex.h"
#include "platform/never_destroyed.h"
#include "platform/steady_clock.h"

namespace ksrn::net::curl {
namespace {

struct IdleHandle {
  CURLM* multi;
  SteadyTime lastUse;
};

struct KeptConnections {
  std::atomic<int32_t> idleMs{0};
  Mutex mutex;
  // Per route, oldest first.
  std::map<std::string, std::vector<IdleHandle>> routes GUARDED_BY(mutex);
};

KeptConnections& Kept() { return NeverDestroyed<KeptConnections>(); }

// Moves the handles unused for longer than idleMs into expired, to be freed outside the lock.
void CollectExpired(KeptConnections& kept, SteadyTime now, std::vector<CURLM*>& expired)
    REQUIRES(kept.mutex) {
  const SteadyTime limit = static_cast<SteadyTime>(kept.idleMs.load()) * kNanosecondsPerMillisecond;
  for (auto route = kept.routes.begin(); route != kept.routes.end();) {
    std::vector<IdleHandle>& handles = route->second;
    const auto young = std::find_if(handles.begin(), handles.end(), [&](const IdleHandle& idle) {
      return now - idle.lastUse <= limit;
    });
    for (auto old = handles.begin(); old != young; ++old) {
      expired.push_back(old->multi);
    }
    handles.erase(handles.begin(), young);
    route = handles.empty() ? kept.routes.erase(route) : std::next(route);
  }
}

// Freeing a handle closes its connection (a TLS close_notify and a FIN): never under the lock.
void Free(const std::vector<CURLM*>& handles) {
  for (CURLM* multi : handles) {
    curl_multi_cleanup(multi);
  }
}

}  // namespace

void SetKeepAliveMs(int32_t idleMs) {
  KeptConnections& kept = Kept();
  std::vector<CURLM*> expired;
  {
    MutexLock lock(kept.mutex);
    kept.idleMs.store(idleMs);
    CollectExpired(kept, SteadyNow(), expired);
  }
  Free(expired);
}

int32_t KeepAliveMs() { return Kept().idleMs.load(); }

CURLM* TakeKept(const std::string& route) {
  KeptConnections& kept = Kept();
  std::vector<CURLM*> expired;
  CURLM* multi = nullptr;
  {
    MutexLock lock(kept.mutex);
    CollectExpired(kept, SteadyNow(), expired);
    if (const auto found = kept.routes.find(route); found != kept.routes.end()) {
      multi = found->second.back().multi;
      found->second.pop_back();
      if (found->second.empty()) {
        kept.routes.erase(found);
      }
    }
  }
  Free(expired);
  return multi;
}

void Keep(const std::string& route, CURLM* multi) noexcept {
  std::vector<CURLM*> expired;
  // Called from a destructor: whatever fails only costs the connection.
  try {
    KeptConnections& kept = Kept();
    MutexLock lock(kept.mutex);
    const SteadyTime now = SteadyNow();
    CollectExpired(kept, now, expired);
    if (kept.idleMs.load() > 0) {
      std::vector<IdleHandle>& handles = kept.routes[route];
      if (handles.size() == kMaxIdleConnectionsPerHost) {
        expired.push_back(handles.front().multi);
        handles.erase(handles.begin());
      }
      handles.push_back({multi, now});
      multi = nullptr;
    }
  } catch (...) {
  }
  Free(expired);
  if (multi != nullptr) {
    curl_multi_cleanup(multi);
  }
}

void LockKeptForFork() NO_THREAD_SAFETY_ANALYSIS { Kept().mutex.lock(); }
void UnlockKeptForFork() NO_THREAD_SAFETY_ANALYSIS { Kept().mutex.unlock(); }

void ForgetKeptInChild() NO_THREAD_SAFETY_ANALYSIS {
  // The map's nodes are the child's own memory; the handles in them are left unfreed.
  Kept().routes.clear();
  Kept().idleMs.store(0);
}

}  // namespace ksrn::net::curl
