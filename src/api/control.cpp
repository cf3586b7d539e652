// The control exports: each acquires the engine, makes exactly one engine call and turns its
// result into the last error. None of them waits for a transfer.
#include "api/lifecycle.h"
#include "engine/completion_signal.h"
#include "kestrune.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// Runs call(engine, error) on the current engine. Engine operations do not throw; should one
// ever do so, it becomes 31 here rather than unwind into a C caller.
template <typename Call>
int32_t RunOnEngine(Call call) noexcept {
  const EngineRef engine = AcquireEngine();
  if (!engine) {
    return 0;
  }
  try {
    uint32_t error = kErrorSuccess;
    const int32_t result = call(*engine, error);
    SetApiError(error);
    return result;
  } catch (...) {
    SetApiError(kErrorGenFailure);
    return 0;
  }
}

// 1 with 0 when the engine answered yes, else 0 with the given code.
int32_t Answer(bool yes, uint32_t codeWhenNo, uint32_t& error) {
  error = yes ? kErrorSuccess : codeWhenNo;
  return yes ? 1 : 0;
}

}  // namespace
}  // namespace ksrn

using namespace ksrn;

int32_t KSRN_SetThrottleMs(int32_t throttleMs) {
  return RunOnEngine([throttleMs](HttpEngine& engine, uint32_t& error) {
    return Answer(engine.SetThrottleMs(throttleMs), kErrorInvalidParameter, error);
  });
}

int32_t KSRN_SetKeepAliveMs(int32_t idleMs) {
  return RunOnEngine([idleMs](HttpEngine& engine, uint32_t& error) {
    return Answer(engine.SetKeepAliveMs(idleMs), kErrorInvalidParameter, error);
  });
}

// The engine is only checked, never held, while the call sleeps: a shutdown must not wait for it.
int32_t KSRN_WaitForCompletion(int32_t seen, int32_t timeoutMs) {
  if (!AcquireEngine()) {
    return 0;
  }
  if (timeoutMs < 0) {
    SetApiError(kErrorInvalidParameter);
    return 0;
  }
  try {
    const int32_t count = CompletionSignal::Get().WaitPast(seen, timeoutMs);
    SetApiError(kErrorSuccess);
    return count;
  } catch (...) {
    SetApiError(kErrorGenFailure);
    return 0;
  }
}

// Ids of 0 and below are simply never in the table, so they are not found rather than invalid.
int32_t KSRN_Cancel(int32_t id) {
  return RunOnEngine([id](HttpEngine& engine, uint32_t& error) {
    return Answer(engine.Cancel(id), kErrorNotFound, error);
  });
}

int32_t KSRN_Free(int32_t id) {
  return RunOnEngine([id](HttpEngine& engine, uint32_t& error) {
    return Answer(engine.Free(id), kErrorNotFound, error);
  });
}

int32_t KSRN_CancelAll(void) {
  return RunOnEngine([](HttpEngine& engine, uint32_t&) { return engine.CancelAll(); });
}

int32_t KSRN_GetPendingCount(void) {
  return RunOnEngine([](HttpEngine& engine, uint32_t&) { return engine.PendingCount(); });
}
