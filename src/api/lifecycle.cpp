// The lifecycle record, engine acquisition, and the exports that manage the library itself.
#include "api/lifecycle.h"

#include <new>
#include <utility>

#include "engine/completion_signal.h"
#include "kestrune.h"
#include "net/http_ops.h"
#include "platform/limits.h"
#include "platform/never_destroyed.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// One per process and never destroyed: a host may exit while its threads are still inside an
// export.
struct Lifecycle {
  Mutex mutex;
  // Outlives every engine, so request ids keep rising across a shutdown and a later init.
  RequestIdAllocator idAllocator;
  // Created with the record, so that a forked child finds it made.
  CompletionSignal& completions = CompletionSignal::Get();
  EngineRef engine GUARDED_BY(mutex);  // empty while not initialised
  // What KSRN_AllowMethod switched on for this engine; a new engine starts with none.
  MethodSet extraMethods GUARDED_BY(mutex) = 0;
  // Where a forked child leaves the engine it inherited, never destroyed: its destructor would
  // join threads that did not survive the fork. A later fork of that child overwrites it.
  alignas(EngineRef) unsigned char abandoned[sizeof(EngineRef)];
};

// The record, created at most once per process; a failed creation is retried by the next export.
// Null, with the last error set to 8, when the record cannot be created.
Lifecycle* GetLifecycle() noexcept {
  try {
    return &NeverDestroyed<Lifecycle>();
  } catch (...) {
    SetApiError(kErrorNotEnoughMemory);
    return nullptr;
  }
}

#if !defined(_WIN32)
// The record as the running fork's prepare handler found it, null when it could not be created.
// Only the forking thread uses it: the handlers of concurrent forks run one fork at a time.
Lifecycle* gForking = nullptr;
#endif

}  // namespace

EngineRef AcquireEngine() noexcept {
  MethodSet unused = 0;
  return AcquireEngine(unused);
}

EngineRef AcquireEngine(MethodSet& allowedMethods) noexcept {
  Lifecycle* lifecycle = GetLifecycle();
  if (lifecycle == nullptr) {
    return {};
  }
  try {
    MutexLock lock(lifecycle->mutex);
    if (!lifecycle->engine) {
      SetApiError(kErrorInvalidHandle);
    }
    allowedMethods = lifecycle->extraMethods;
    return lifecycle->engine;
  } catch (...) {
    SetApiError(kErrorNotEnoughMemory);
    return {};
  }
}

#if !defined(_WIN32)
// A forked child has only the thread that forked, so it starts not initialised and leaves the
// inherited engine alone. Before the fork, every lock the child may need afterwards is taken, so
// that no other thread holds it at that moment: the library's own first, then the op set's; they
// are given back in reverse. The shared budget region needs nothing here: its lock lives in the
// shared memory, where a parent thread that holds it gives it back for the child too.
void ForkPrepare() noexcept NO_THREAD_SAFETY_ANALYSIS {
  // Still before the fork, where creating the record is as safe as anywhere.
  try {
    gForking = &NeverDestroyed<Lifecycle>();
  } catch (...) {
    gForking = nullptr;
  }
  if (gForking != nullptr) {
    gForking->mutex.lock();
    gForking->completions.ForkPrepare();
  }
  net::HttpForkPrepare();
}

void ForkParent() noexcept NO_THREAD_SAFETY_ANALYSIS {
  net::HttpForkParent();
  if (gForking != nullptr) {
    gForking->completions.ForkParent();
    gForking->mutex.unlock();
  }
}

void ForkChild() noexcept NO_THREAD_SAFETY_ANALYSIS {
  net::HttpForkChild();
  if (gForking != nullptr) {
    gForking->completions.ForkChild();
    if (gForking->engine) {
      new (gForking->abandoned) EngineRef(std::move(gForking->engine));
    }
    gForking->extraMethods = 0;
    gForking->mutex.unlock();
  }
}
#endif

}  // namespace ksrn

using namespace ksrn;

int32_t KSRN_GetAbiVersion(void) {
  SetApiError(kErrorSuccess);
  return KSRN_ABI_VERSION;
}

int32_t KSRN_Init(int32_t abiVersion) {
  if (abiVersion != KSRN_ABI_VERSION) {
    SetApiError(kErrorRevisionMismatch);
    return 0;
  }
  Lifecycle* lifecycle = GetLifecycle();
  if (lifecycle == nullptr) {
    return 0;
  }
  // The one-off network preparation, here so that no transfer carries it after its throttle
  // slot, and before the lock, so that no other export waits for it. Best effort: on failure
  // the first transfer prepares as it would have. Sized for the engine's workers, the transfers
  // that can run at once.
  net::HttpPrepareProcess(static_cast<size_t>(kWorkerCount));
  try {
    MutexLock lock(lifecycle->mutex);
    // A repeated init keeps the running engine and its requests.
    if (!lifecycle->engine) {
      lifecycle->engine = std::make_shared<HttpEngine>(lifecycle->idAllocator);
      lifecycle->extraMethods = 0;
    }
  } catch (...) {
    // The engine's constructor has joined every thread it started; nothing is left behind.
    SetApiError(kErrorNotEnoughMemory);
    return 0;
  }
  // From here on engine threads run our code: the module must never be unloaded under them.
  PinOwnModule();
  SetApiError(kErrorSuccess);
  return 1;
}

int32_t KSRN_Shutdown(void) {
  Lifecycle* lifecycle = GetLifecycle();
  if (lifecycle == nullptr) {
    return 0;
  }
  try {
    MutexLock lock(lifecycle->mutex);
    if (lifecycle->engine) {
      // Stop joins the engine's threads under the lifecycle lock, so exports waiting in
      // AcquireEngine see either the running engine or none. Calls that already hold a copy
      // finish against the stopped engine, and the last of them destroys it.
      lifecycle->engine->Stop();
      lifecycle->engine.reset();
    }
  } catch (...) {
    SetApiError(kErrorGenFailure);
    return 0;
  }
  SetApiError(kErrorSuccess);
  return 1;
}

uint32_t KSRN_GetLastError(void) { return GetApiError(); }

int32_t KSRN_AllowMethod(const KSRN_CHAR* method) {
  Lifecycle* lifecycle = GetLifecycle();
  if (lifecycle == nullptr) {
    return 0;
  }
  const MethodSet bit = method == nullptr ? 0 : ExtraMethodBit(method);
  try {
    MutexLock lock(lifecycle->mutex);
    if (!lifecycle->engine) {
      SetApiError(kErrorInvalidHandle);
      return 0;
    }
    if (bit == 0) {
      SetApiError(kErrorInvalidParameter);
      return 0;
    }
    lifecycle->extraMethods |= bit;
  } catch (...) {
    SetApiError(kErrorGenFailure);
    return 0;
  }
  SetApiError(kErrorSuccess);
  return 1;
}
