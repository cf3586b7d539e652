#include "engine/completion_signal.h"

#include <chrono>
#include <new>

#include "platform/never_destroyed.h"

namespace ksrn {

CompletionSignal& CompletionSignal::Get() { return NeverDestroyed<CompletionSignal>(); }

void CompletionSignal::Notify() noexcept {
  try {
    MutexLock lock(mutex);
    count = count == INT32_MAX ? 1 : count + 1;
  } catch (...) {
    return;
  }
  changed.NotifyAll();
}

int32_t CompletionSignal::WaitPast(int32_t seen, int32_t timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  MutexLock lock(mutex);
  while (count == seen && std::chrono::steady_clock::now() < until) {
    changed.WaitUntil(mutex, until);
  }
  return count;
}

void CompletionSignal::ForkPrepare() { mutex.lock(); }

void CompletionSignal::ForkParent() { mutex.unlock(); }

void CompletionSignal::ForkChild() {
  // Never destroyed: destroying a condition variable with waiters is undefined.
  new (&changed) CondVar;
  mutex.unlock();
}

}  // namespace ksrn
