// The facade's handles are ids, never pointers: an id maps to its context until the handle is
// closed and is never reused, so a closed handle value stays safe to pass (it fails with 6).
#pragma once

#include <memory>

#include "net/http_ops.h"
#include "net/winhttp/handle_context.h"

namespace ksrn::net::winhttp {

// Registers an adopted context under a new id; null when memory runs out (the caller closes).
NetHandle RegisterHandle(const std::shared_ptr<HandleContext>& context) noexcept;

// The open handle's context, or null with error set: 6 for an unknown or closed id, 12018 for
// a handle of another kind.
std::shared_ptr<HandleContext> FindHandle(NetHandle handle, HandleKind kind, uint32_t& error);

// Removes the id and returns its context; null when the id is unknown or already closed.
std::shared_ptr<HandleContext> TakeHandle(NetHandle handle);

}  // namespace ksrn::net::winhttp
