// Multi handles outlive the requests that drive them. Making one costs a socket pair for its
// wake-up channel and freeing it closes both ends again, several system calls for every request;
// a request instead takes an idle handle and gives it back, empty, when it is destroyed. A handle
// in this pool keeps no connection between its requests: such a transfer asks for a fresh one
// and forbids its reuse (kept connections wait with their handle elsewhere). A wake-up a handle got
// too late for its last request only ends the next one's first poll early.
#pragma once

#include <curl/curl.h>

#include <cstddef>

namespace ksrn::net::curl {

// Sizes the pool for that many transfers at once; until then no idle handle is kept. May throw
// std::bad_alloc, and the pool then stays as it was.
void SizeMultiPool(size_t concurrentTransfers);

// An idle multi handle, or a new one whose wake-up channel works; null when none can be made.
CURLM* TakeMulti();
// A new multi handle whose wake-up channel works, never one of the pool's; null when none can be
// made. For a handle that will keep a connection and so never comes back to the pool.
CURLM* MakeMulti();
// Gives back a multi handle that holds no easy handle; keeps it while the pool has room, else
// frees it.
void ReturnMulti(CURLM* multi) noexcept;

// Fork: the pool's lock is held across a fork; the child forgets the idle handles without
// freeing them, as their wake-up channels are the parent's too.
void LockMultiPoolForFork();
void UnlockMultiPoolForFork();
void ForgetMultisInChild();

}  // namespace ksrn::net::curl
