// The POSIX loader side of the lifecycle: a successful init pins the library so that dlclose
// never unloads code our threads may run.
#include <dlfcn.h>

#include "api/lifecycle.h"

namespace ksrn {

void PinOwnModule() noexcept {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinOwnModule), &info) == 0 || info.dli_fname == nullptr) {
    return;
  }
  // RTLD_NOLOAD finds the copy that is already loaded; RTLD_NODELETE marks it so that no
  // dlclose unloads it. The handle is deliberately never closed.
  dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace ksrn
