// What every request of the process shares, as WinHTTP shares it through the system on Windows:
// - the system trust store, parsed once. libcurl as Debian builds it parses the whole CA bundle
//   again for each new connection (about 25 ms of CPU); with one store per process a fresh
//   connection costs only its handshake;
// - TLS sessions: a new connection to a host seen before resumes its session instead of a full
//   handshake. libcurl keeps 8 sessions per share, fewer than the hosts a host may rotate over,
//   so each origin has a share of its own;
// - resolved addresses, kept for libcurl's 60 s, where Windows keeps them for their DNS
//   lifetime. Failed resolutions are not kept.
// Connections are not shared here (kept ones stay with their multi handle). All of it is made on
// first use and never freed: a connection may still run while the process exits.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

namespace ksrn::net::curl {

// CURLOPT_SSL_CTX_FUNCTION: gives the new connection's OpenSSL context the shared store. The
// store is loaded on first use from libcurl's built-in CA bundle; while it cannot be loaded,
// every connection fails verification (CURLE_SSL_CACERT_BADFILE) and the next one retries.
// It also takes back the key log that libcurl installs when the environment names a
// SSLKEYLOGFILE: the library writes no files, least of all session secrets.
CURLcode PrepareTlsContext(CURL* easy, void* sslContext, void* unused) noexcept;

// Loads the shared store ahead of the first connection, unless it is loaded: 0 once it is,
// otherwise the Win32 code of the failure, and the first connection tries again.
uint32_t PreloadTrustStore();

// The share of TLS sessions and addresses for CURLOPT_SHARE of the requests to origin; null
// when libcurl cannot make it, and transfers then simply resolve and shake hands afresh.
CURLSH* SharedCaches(const std::string& origin);

// Fork: the locks of the store and of the table of shares are held across a fork; the child
// forgets the parent's shares (whose own locks a parent thread may have held) without freeing
// them, and makes new ones.
void LockCachesForFork();
void UnlockCachesForFork();
void ForgetSharesInChild();

}  // namespace ksrn::net::curl
