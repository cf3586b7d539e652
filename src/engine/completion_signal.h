// The process's completion count: what a host waits on instead of polling. It moves on every
// published outcome and on every engine stop, so a waiter wakes for any news, and a waiter that
// passes the count it last saw never misses a change that came in between.
#pragma once

#include <cstdint>

#include "platform/mutex.h"

namespace ksrn {

// Counts run 1 to INT32_MAX and wrap to 1, so 0 is never a count.
class CompletionSignal {
 public:
  // The process's one signal, never destroyed: a host thread may still wait in it at exit.
  // May throw std::bad_alloc on first use.
  static CompletionSignal& Get();

  // Moves the count and wakes every waiter. Never fails: a lock that cannot be taken only costs
  // the waiters a time-out.
  void Notify() noexcept EXCLUDES(mutex);

  // The count as soon as it differs from seen, else after up to timeoutMs (0: at once). Holds
  // no engine lock while asleep. May throw std::system_error.
  int32_t WaitPast(int32_t seen, int32_t timeoutMs) EXCLUDES(mutex);

  // Fork: taken in the parent before the fork so that no thread holds it at that moment, given
  // back on both sides. The child also starts a fresh condition variable: the inherited one's
  // state still counts the parent's sleeping waiters, which do not exist in the child.
  void ForkPrepare() ACQUIRE(mutex);
  void ForkParent() RELEASE(mutex);
  void ForkChild() RELEASE(mutex);

 private:
  Mutex mutex;
  CondVar changed;
  int32_t count GUARDED_BY(mutex) = 1;
};

}  // namespace ksrn
