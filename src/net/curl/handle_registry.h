// The operation set's handles are ids, never pointers: an id maps to its object until the
// handle is closed and is never reused, so a closed handle value stays safe to pass (it fails
// with 6). A thread inside an operation holds its own reference, so closing never frees an
// object under a running operation; the last holder frees it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "net/curl/handles.h"
#include "net/curl/request.h"
#include "net/guarded_call.h"
#include "net/http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {

using HandleObject =
    std::variant<std::shared_ptr<Session>, std::shared_ptr<Connection>, std::shared_ptr<Request>>;

// Registers an object under a new id. Throws std::bad_alloc when memory runs out.
NetHandle RegisterHandle(HandleObject object);

// The open handle's object; false for an unknown or closed id.
bool LookUpHandle(NetHandle handle, HandleObject& object);

// Removes the id and returns its object; nothing when the id is unknown or already closed.
std::optional<HandleObject> TakeHandle(NetHandle handle) noexcept;

// The open handle's object of kind T, or null with error set: 6 for an unknown or closed id,
// 12018 for a handle of another kind.
template <class T>
std::shared_ptr<T> FindHandle(NetHandle handle, uint32_t& error) {
  HandleObject object;
  if (!LookUpHandle(handle, object)) {
    error = kErrorInvalidHandle;
    return nullptr;
  }
  if (auto* found = std::get_if<std::shared_ptr<T>>(&object)) {
    return std::move(*found);
  }
  error = kErrorWinhttpIncorrectHandleType;
  return nullptr;
}

// Runs call(request) on the open request behind handle, holding a reference for the length of
// the call, and reports its outcome through the thread's last error.
template <class Call>
bool OnRequest(NetHandle handle, Call call) {
  return Report(Guarded([&] {
    uint32_t error = kErrorSuccess;
    const auto request = FindHandle<Request>(handle, error);
    return request == nullptr ? error : call(*request);
  }));
}

}  // namespace ksrn::net::curl
