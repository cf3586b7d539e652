#include "net/winhttp/handle_registry.h"

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

namespace ksrn::net::winhttp {
namespace {

struct Registry {
  std::mutex mutex;
  uintptr_t lastId = 0;  // guarded by mutex, as is contexts
  std::unordered_map<uintptr_t, std::shared_ptr<HandleContext>> contexts;
};

// Never destroyed: a worker thread may still close a handle while the process exits.
Registry& Handles() {
  static Registry* registry = new Registry;
  return *registry;
}

uintptr_t IdOf(NetHandle handle) { return reinterpret_cast<uintptr_t>(handle); }

}  // namespace

NetHandle RegisterHandle(const std::shared_ptr<HandleContext>& context) noexcept {
  Registry& registry = Handles();
  std::lock_guard lock(registry.mutex);
  try {
    const uintptr_t id = registry.lastId + 1;
    registry.contexts.emplace(id, context);
    registry.lastId = id;
    return reinterpret_cast<NetHandle>(id);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<HandleContext> FindHandle(NetHandle handle, HandleKind kind, uint32_t& error) {
  Registry& registry = Handles();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.contexts.find(IdOf(handle));
  if (found == registry.contexts.end()) {
    error = kErrorInvalidHandle;
    return nullptr;
  }
  if (found->second->Kind() != kind) {
    error = kErrorWinhttpIncorrectHandleType;
    return nullptr;
  }
  return found->second;
}

std::shared_ptr<HandleContext> TakeHandle(NetHandle handle) {
  Registry& registry = Handles();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.contexts.find(IdOf(handle));
  if (found == registry.contexts.end()) {
    return nullptr;
  }
  std::shared_ptr<HandleContext> context = std::move(found->second);
  registry.contexts.erase(found);
  return context;
}

}  // namespace ksrn::net::winhttp
