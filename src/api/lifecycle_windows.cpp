// The Windows loader side of the lifecycle: the entry point keeps our module handle, and a
// successful init pins the module so that FreeLibrary never unloads code our threads may run.
#include <windows.h>

#include "api/lifecycle.h"

namespace ksrn {
namespace {

HMODULE gModule = nullptr;  // set at process attach, before any export can run

}  // namespace

void PinOwnModule() noexcept {
  if (gModule == nullptr) {
    return;
  }
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(gModule, path, MAX_PATH);
  HMODULE pinned = nullptr;
  if (length > 0 && length < MAX_PATH) {
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, path, &pinned);
  } else {
    // A path cut short at MAX_PATH cannot name us; the handle is our base address, and any
    // address inside the module pins it just as well.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(gModule), &pinned);
  }
}

}  // namespace ksrn

// No work at any notification: the engine is never stopped from inside the loader lock.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ksrn::gModule = module;
  }
  return TRUE;
}
