#include "net/curl/shared_caches.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "net/curl/error_map.h"
#include "platform/mutex.h"
#include "platform/never_destroyed.h"
#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

// Where Debian's libcurl finds the bundle, for a libcurl built without a default.
constexpr const char* kDefaultBundle = "/etc/ssl/certs/ca-certificates.crt";

struct TrustStore {
  Mutex mutex;
  X509_STORE* store GUARDED_BY(mutex) = nullptr;  // never freed once loaded
};

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

// The loaded store, loading it through easy if it is not yet; null while it cannot be loaded.
X509_STORE* LoadedStore(TrustStore& trust, CURL* easy) REQUIRES(trust.mutex) {
  if (trust.store == nullptr) {
    trust.store = LoadStore(easy);
  }
  return trust.store;
}

// One lock per kind of data libcurl locks, so that it may hold two kinds at once. libcurl takes
// and releases them in separate callbacks, a pairing the lock annotations cannot follow.
struct ShareLocks {
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
};

void LockShare(CURL* /*easy*/, curl_lock_data data, curl_lock_access /*access*/, void* locks) {
  static_cast<ShareLocks*>(locks)->locks[data].lock();
}

void UnlockShare(CURL* /*easy*/, curl_lock_data data, void* locks) {
  static_cast<ShareLocks*>(locks)->locks[data].unlock();
}

struct Share {
  Share() : share(curl_share_init()) {
    if (share != nullptr &&
        (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &LockShare) != CURLSHE_OK ||
         curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &UnlockShare) != CURLSHE_OK ||
         curl_share_setopt(share, CURLSHOPT_USERDATA, &locks) != CURLSHE_OK ||
         curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK ||
         curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK)) {
      curl_share_cleanup(share);
      share = nullptr;
    }
  }

  ShareLocks locks;
  CURLSH* share;
};

// The allowlist names 21 hosts; past the limit (a port per request, say) an origin shares nothing.
constexpr size_t kMaxShares = 64;

struct Shares {
  Mutex mutex;
  std::map<std::string, std::unique_ptr<Share>> byOrigin GUARDED_BY(mutex);  // never freed
};

}  // namespace

uint32_t PreloadTrustStore() {
  // A handle of its own, only to learn the bundle libcurl would use.
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(),
                                                                 &curl_easy_cleanup);
  if (easy == nullptr) {
    return kErrorNotEnoughMemory;
  }
  TrustStore& trust = NeverDestroyed<TrustStore>();
  MutexLock lock(trust.mutex);
  return LoadedStore(trust, easy.get()) != nullptr ? kErrorSuccess
                                                   : Win32FromCurl(CURLE_SSL_CACERT_BADFILE);
}

CURLcode PrepareTlsContext(CURL* easy, void* sslContext, void* /*unused*/) noexcept {
  SSL_CTX* context = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_keylog_callback(context, nullptr);
  // No exception may unwind through libcurl's C frames.
  try {
    TrustStore& trust = NeverDestroyed<TrustStore>();
    MutexLock lock(trust.mutex);
    X509_STORE* store = LoadedStore(trust, easy);
    if (store == nullptr) {
      return CURLE_SSL_CACERT_BADFILE;
    }
    // The context takes its own reference; the store outlives every context.
    SSL_CTX_set1_cert_store(context, store);
    return CURLE_OK;
  } catch (const std::bad_alloc&) {
    return CURLE_OUT_OF_MEMORY;
  } catch (...) {
    return CURLE_SSL_CERTPROBLEM;
  }
}

CURLSH* SharedCaches(const std::string& origin) {
  Shares& shares = NeverDestroyed<Shares>();
  MutexLock lock(shares.mutex);
  if (const auto found = shares.byOrigin.find(origin); found != shares.byOrigin.end()) {
    return found->second->share;
  }
  if (shares.byOrigin.size() == kMaxShares) {
    return nullptr;
  }
  return shares.byOrigin.emplace(origin, std::make_unique<Share>()).first->second->share;
}

void LockCachesForFork() NO_THREAD_SAFETY_ANALYSIS {
  NeverDestroyed<TrustStore>().mutex.lock();
  NeverDestroyed<Shares>().mutex.lock();
}

void UnlockCachesForFork() NO_THREAD_SAFETY_ANALYSIS {
  NeverDestroyed<Shares>().mutex.unlock();
  NeverDestroyed<TrustStore>().mutex.unlock();
}

void ForgetSharesInChild() NO_THREAD_SAFETY_ANALYSIS {
  for (auto& [origin, share] : NeverDestroyed<Shares>().byOrigin) {
    static_cast<void>(share.release());
  }
  NeverDestroyed<Shares>().byOrigin.clear();
}

}  // namespace ksrn::net::curl
