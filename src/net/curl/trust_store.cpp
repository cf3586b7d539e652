#include "net/curl/trust_store.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <mutex>

#include "net/curl/error_map.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

// Where Debian's libcurl finds the bundle, for a libcurl built without a default.
constexpr const char* kDefaultBundle = "/etc/ssl/certs/ca-certificates.crt";

struct SharedStore {
  std::mutex mutex;
  X509_STORE* store = nullptr;  // guarded by mutex; never freed once loaded
};

// Never destroyed: a connection may still verify a certificate while the process exits.
SharedStore& Shared() {
  static SharedStore* shared = new SharedStore;
  return *shared;
}

X509_STORE* LoadStore(CURL* easy) {
  const char* bundle = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &bundle) != CURLE_OK || bundle == nullptr) {
    bundle = kDefaultBundle;
  }
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr) {
    return nullptr;
  }
  // libcurl's own defaults for the stores it builds: prefer the trusted issuers over those the
  // server sends, and accept a chain that ends at any trusted certificate.
  if (X509_STORE_load_file(store, bundle) != 1 ||
      X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN) != 1) {
    X509_STORE_free(store);
    return nullptr;
  }
  return store;
}

}  // namespace

uint32_t PreloadTrustStore() {
  // A handle of its own, only to learn the bundle libcurl would use.
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(),
                                                                 &curl_easy_cleanup);
  if (easy == nullptr) {
    return kErrorNotEnoughMemory;
  }
  SharedStore& shared = Shared();
  std::lock_guard lock(shared.mutex);
  if (shared.store == nullptr) {
    shared.store = LoadStore(easy.get());
  }
  return shared.store != nullptr ? kErrorSuccess : Win32FromCurl(CURLE_SSL_CACERT_BADFILE);
}

CURLcode PrepareTlsContext(CURL* easy, void* sslContext, void* /*unused*/) {
  SSL_CTX* context = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_keylog_callback(context, nullptr);
  SharedStore& shared = Shared();
  std::lock_guard lock(shared.mutex);
  if (shared.store == nullptr) {
    shared.store = LoadStore(easy);
    if (shared.store == nullptr) {
      return CURLE_SSL_CACERT_BADFILE;
    }
  }
  // The context takes its own reference; the store outlives every context.
  SSL_CTX_set1_cert_store(context, shared.store);
  return CURLE_OK;
}

}  // namespace ksrn::net::curl
