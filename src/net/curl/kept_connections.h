// Kept connections. libcurl keeps a finished transfer's connection in the cache of the multi
// handle that ran it, and warns against sharing one cache between threads that run at once; so a
// kept connection stays with its multi handle, and the handle, connection and all, serves one
// request at a time. Between requests the handles wait here under their route (origin and
// proxy), at most kMaxIdleConnectionsPerHost each, for up to the keep-alive time since their
// last use. Handles too old are freed, and their connections closed, at the next take or keep
// of any route and whenever the setting changes.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

namespace ksrn::net::curl {

// 0 keeps nothing, and closes every idle connection.
void SetKeepAliveMs(int32_t idleMs);
int32_t KeepAliveMs();

// A multi handle whose one cached connection leads to route and was last used within the
// keep-alive time, the youngest there is; null when there is none.
CURLM* TakeKept(const std::string& route);

// Keeps multi, whose cache holds at most one connection, after a request to route that ended
// cleanly; frees it instead while keep-alive is off, and frees the route's oldest handle when
// the route is full.
void Keep(const std::string& route, CURLM* multi) noexcept;

// Fork: the lock is held across the fork; the child forgets every idle handle without freeing
// it, since its connection and wake-up channel are the parent's.
void LockKeptForFork();
void UnlockKeptForFork();
void ForgetKeptInChild();

}  // namespace ksrn::net::curl
