// The POSIX loader side of the lifecycle: the per-thread last error, a successful init pins
// the library so that dlclose never unloads code our threads may run, and the fork handlers.
#include <dlfcn.h>
#include <pthread.h>

#include "api/lifecycle.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// Static TLS, reserved when the library loads: the default model for a dlopen'ed library
// allocates each thread's block lazily on first use, and the C library aborts the process when
// that allocation fails.
[[gnu::tls_model("initial-exec")]] thread_local uint32_t gApiError = kErrorSuccess;

}  // namespace

void SetApiError(uint32_t error) noexcept { gApiError = error; }

uint32_t GetApiError() noexcept { return gApiError; }

void PinOwnModule() noexcept {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinOwnModule), &info) == 0 || info.dli_fname == nullptr) {
    return;
  }
  // RTLD_NOLOAD finds the copy that is already loaded; RTLD_NODELETE marks it so that no
  // dlclose unloads it. The handle is deliberately never closed.
  dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

namespace {

// At load, before any export can run: a later registration, say at the first init, would leave
// a window in which a fork of another thread copies a lock that the init holds into the child
// without the handlers that give it back. Should the registration fail (out of memory), a child
// is left as it was before these handlers existed.
[[gnu::constructor]] void WatchForks() { pthread_atfork(&ForkPrepare, &ForkParent, &ForkChild); }

}  // namespace

}  // namespace ksrn
