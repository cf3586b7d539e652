// The process-wide lifecycle record and the per-thread last error, shared by every export.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/http_engine.h"
#include "validate/request_validation.h"

namespace ksrn {

using EngineRef = std::shared_ptr<HttpEngine>;

// The calling thread's last error, the value KSRN_GetLastError returns. Every thread starts
// with 0. Its storage is taken when the library loads and never allocates on a thread's first
// use, so a host thread's first call under memory pressure answers 8 instead of aborting the
// process. One implementation per platform, beside the loader code.
void SetApiError(uint32_t error) noexcept;
uint32_t GetApiError() noexcept;

// The first step of every export that works on the engine: an owning reference to the running
// engine, or empty with the last error set to 8 (the lifecycle record cannot be created) or 6
// (not initialised). The caller holds the reference for the rest of the call, so a concurrent
// KSRN_Shutdown never destroys the engine under it.
EngineRef AcquireEngine() noexcept;

// AcquireEngine that also reads the extra methods KSRN_AllowMethod switched on for that engine,
// under the same lock, so a concurrent shutdown and init can never pair one engine with
// another's methods.
EngineRef AcquireEngine(MethodSet& allowedMethods) noexcept;

// Keeps the library loaded until the process ends, so that no engine thread can outlive its
// code. Best effort: a failure changes nothing for the caller. One implementation per platform.
void PinOwnModule() noexcept;

#if !defined(_WIN32)
// The fork handlers (pthread_atfork), registered when the library loads: prepare runs in the
// parent before the fork, then parent or child on each side after it. A forked child starts
// with the library not initialised. Windows has no fork.
void ForkPrepare() noexcept;
void ForkParent() noexcept;
void ForkChild() noexcept;
#endif

}  // namespace ksrn
