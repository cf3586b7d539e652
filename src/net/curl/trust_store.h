// The system trust store, parsed once per process and shared by every TLS connection.
// libcurl as Debian builds it parses the whole CA bundle again for each new connection (about
// 25 ms of CPU); with one store per process a fresh connection costs only its handshake.
#pragma once

#include <curl/curl.h>

namespace ksrn::net::curl {

// CURLOPT_SSL_CTX_FUNCTION: gives the new connection's OpenSSL context the shared store. The
// store is loaded on first use from libcurl's built-in CA bundle; while it cannot be loaded,
// every connection fails verification (CURLE_SSL_CACERT_BADFILE) and the next one retries.
// It also takes back the key log that libcurl installs when the environment names a
// SSLKEYLOGFILE: the library writes no files, least of all session secrets.
CURLcode PrepareTlsContext(CURL* easy, void* sslContext, void* unused);

}  // namespace ksrn::net::curl
