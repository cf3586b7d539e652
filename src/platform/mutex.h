// A mutex, its scoped lock and a condition variable that clang's thread-safety analysis
// understands (-Wthread-safety), with the annotation macros for the fields and functions they
// guard. Other compilers see plain std::mutex and std::condition_variable; the macros vanish.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KSRN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KSRN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) KSRN_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY KSRN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(mutex) KSRN_THREAD_ANNOTATION(guarded_by(mutex))
#define REQUIRES(...) KSRN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KSRN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KSRN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KSRN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KSRN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// For lock and unlock calls that pair up across functions, such as around a fork.
#define NO_THREAD_SAFETY_ANALYSIS KSRN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace ksrn {

// std::mutex under a name the analysis can track. lock() throws std::system_error as
// std::mutex does.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex.lock(); }
  void unlock() RELEASE() { mutex.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex(mutex) { mutex.lock(); }
  ~MutexLock() RELEASE() { mutex.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex;
};

// A condition variable over a Mutex the caller holds: each wait releases it while asleep and
// holds it again on return. Waits may end spuriously; callers re-check their condition.
class CondVar {
 public:
  void Wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex, std::adopt_lock);
    cv.wait(lock);
    lock.release();
  }
  void WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point time) REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex, std::adopt_lock);
    cv.wait_until(lock, time);
    lock.release();
  }
  void NotifyOne() noexcept { cv.notify_one(); }
  void NotifyAll() noexcept { cv.notify_all(); }

 private:
  std::condition_variable cv;
};

}  // namespace ksrn
