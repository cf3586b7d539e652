// The Windows loader side of the lifecycle: the entry point keeps our module handle and takes
// the last error's TLS slot, and a successful init pins the module so that FreeLibrary never
// unloads code our threads may run.
#include <windows.h>

#include <cstdint>

#include "api/lifecycle.h"

namespace ksrn {
namespace {

HMODULE gModule = nullptr;  // set at process attach, before any export can run
// The last error lives in the slot itself. The toolchain's thread_local is emulated and
// allocates on a thread's first use, aborting the process when that allocation fails. Taken by
// static initialisation, which runs while the library loads, before the entry point.
const DWORD gApiErrorSlot = TlsAlloc();

}  // namespace

void SetApiError(uint32_t error) noexcept {
  TlsSetValue(gApiErrorSlot, reinterpret_cast<void*>(static_cast<uintptr_t>(error)));
}

uint32_t GetApiError() noexcept {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(TlsGetValue(gApiErrorSlot)));
}

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

// Nothing but the module handle and the slot: the engine is never started or stopped from
// inside the loader lock. Without a slot the library refuses to load rather than lose errors.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    ksrn::gModule = module;
    return ksrn::gApiErrorSlot != TLS_OUT_OF_INDEXES;
  }
  // A FreeLibrary before any init unloads us: give the slot back. At process exit nothing is.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    TlsFree(ksrn::gApiErrorSlot);
  }
  return TRUE;
}
