// The operation set's handles are ids, never pointers: an id maps to its object until the
// handle is closed and is never reused, so a closed handle value stays safe to pass (it fails
// with 6). A thread inside an operation holds its own reference, so closing never frees an
// object under a running operation; the last holder frees it. Each operation set keeps one
// registry for the whole process (NeverDestroyed: a worker may still close a handle while the
// process exits).
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "net/http_ops.h"
#include "platform/mutex.h"

namespace ksrn::net {

// Object is what a handle stands for, copied out to each caller: a shared reference, or a
// variant of them.
template <class Object>
class HandleRegistry {
 public:
  // Registers object under a new id. Throws std::bad_alloc when memory runs out.
  NetHandle Register(Object object) EXCLUDES(mutex) {
    MutexLock lock(mutex);
    const uintptr_t id = lastId + 1;
    objects.emplace(id, std::move(object));
    lastId = id;
    return reinterpret_cast<NetHandle>(id);
  }

  // The open handle's object; nothing for an unknown or closed id.
  std::optional<Object> Find(NetHandle handle) const EXCLUDES(mutex) {
    MutexLock lock(mutex);
    const auto found = objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == objects.end() ? std::nullopt : std::optional<Object>(found->second);
  }

  // Removes the id and returns its object; nothing when the id is unknown or already closed.
  std::optional<Object> Take(NetHandle handle) EXCLUDES(mutex) {
    MutexLock lock(mutex);
    const auto found = objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == objects.end()) {
      return std::nullopt;
    }
    std::optional<Object> object(std::move(found->second));
    objects.erase(found);
    return object;
  }

  // Held across a fork, so that a child never inherits the lock taken. The child keeps the
  // parent's entries: nothing of the child's can reach them.
  void LockForFork() NO_THREAD_SAFETY_ANALYSIS { mutex.lock(); }
  void UnlockForFork() NO_THREAD_SAFETY_ANALYSIS { mutex.unlock(); }

 private:
  mutable Mutex mutex;
  uintptr_t lastId GUARDED_BY(mutex) = 0;
  std::unordered_map<uintptr_t, Object> objects GUARDED_BY(mutex);
};

}  // namespace ksrn::net
