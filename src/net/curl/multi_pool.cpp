#include "net/curl/multi_pool.h"

#include <vector>

#include "platform/mutex.h"
#include "platform/never_destroyed.h"

namespace ksrn::net::curl {
namespace {

struct IdleMultis {
  Mutex mutex;
  std::vector<CURLM*> handles GUARDED_BY(mutex);  // never freed once kept
  size_t limit GUARDED_BY(mutex) = 0;             // handles has room for this many
};

}  // namespace

// Each transfer drives one request at a time; the second handle per transfer is room for a
// request that outlives its transfer by a moment.
void SizeMultiPool(size_t concurrentTransfers) {
  IdleMultis& idle = NeverDestroyed<IdleMultis>();
  MutexLock lock(idle.mutex);
  const size_t limit = 2 * concurrentTransfers;
  idle.handles.reserve(limit);
  idle.limit = limit;
}

CURLM* TakeMulti() {
  IdleMultis& idle = NeverDestroyed<IdleMultis>();
  {
    MutexLock lock(idle.mutex);
    if (!idle.handles.empty()) {
      CURLM* multi = idle.handles.back();
      idle.handles.pop_back();
      return multi;
    }
  }
  return MakeMulti();
}

CURLM* MakeMulti() {
  CURLM* multi = curl_multi_init();
  // A handle whose wake-up channel could not be made could not be interrupted by a close; the
  // probe's wake-up only ends the first poll early.
  if (multi != nullptr && curl_multi_wakeup(multi) != CURLM_OK) {
    curl_multi_cleanup(multi);
    return nullptr;
  }
  return multi;
}

void ReturnMulti(CURLM* multi) noexcept {
  if (multi == nullptr) {
    return;
  }
  // Called from a destructor: a lock that fails only costs the handle.
  try {
    IdleMultis& idle = NeverDestroyed<IdleMultis>();
    MutexLock lock(idle.mutex);
    if (idle.handles.size() < idle.limit) {
      idle.handles.push_back(multi);  // within the reserved capacity
      return;
    }
  } catch (...) {
  }
  curl_multi_cleanup(multi);
}

void LockMultiPoolForFork() NO_THREAD_SAFETY_ANALYSIS { NeverDestroyed<IdleMultis>().mutex.lock(); }
void UnlockMultiPoolForFork() NO_THREAD_SAFETY_ANALYSIS {
  NeverDestroyed<IdleMultis>().mutex.unlock();
}
void ForgetMultisInChild() NO_THREAD_SAFETY_ANALYSIS {
  NeverDestroyed<IdleMultis>().handles.clear();
}

}  // namespace ksrn::net::curl
