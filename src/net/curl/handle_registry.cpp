#include "net/curl/handle_registry.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace ksrn::net::curl {
namespace {

struct Registry {
  std::mutex mutex;
  uintptr_t lastId = 0;  // guarded by mutex, as is objects
  std::unordered_map<uintptr_t, HandleObject> objects;
};

// Never destroyed: a worker thread may still close a handle while the process exits.
Registry& Handles() {
  static Registry* registry = new Registry;
  return *registry;
}

uintptr_t IdOf(NetHandle handle) { return reinterpret_cast<uintptr_t>(handle); }

}  // namespace

NetHandle RegisterHandle(HandleObject object) {
  Registry& registry = Handles();
  std::lock_guard lock(registry.mutex);
  const uintptr_t id = registry.lastId + 1;
  registry.objects.emplace(id, std::move(object));
  registry.lastId = id;
  return reinterpret_cast<NetHandle>(id);
}

bool LookUpHandle(NetHandle handle, HandleObject& object) {
  Registry& registry = Handles();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.objects.find(IdOf(handle));
  if (found == registry.objects.end()) {
    return false;
  }
  object = found->second;
  return true;
}

std::optional<HandleObject> TakeHandle(NetHandle handle) noexcept {
  Registry& registry = Handles();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.objects.find(IdOf(handle));
  if (found == registry.objects.end()) {
    return std::nullopt;
  }
  std::optional<HandleObject> object(std::move(found->second));
  registry.objects.erase(found);
  return object;
}

}  // namespace ksrn::net::curl
