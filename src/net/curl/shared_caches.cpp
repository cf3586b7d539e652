#include "net/curl/shared_caches.h"

#include <array>
#include <mutex>

namespace ksrn::net::curl {
namespace {

// One lock per kind of data libcurl locks, so that it may hold two kinds at once.
using ShareLocks = std::array<std::mutex, CURL_LOCK_DATA_LAST>;

void LockShare(CURL* /*easy*/, curl_lock_data data, curl_lock_access /*access*/, void* locks) {
  (*static_cast<ShareLocks*>(locks))[data].lock();
}

void UnlockShare(CURL* /*easy*/, curl_lock_data data, void* locks) {
  (*static_cast<ShareLocks*>(locks))[data].unlock();
}

CURLSH* MakeShare() {
  CURLSH* share = curl_share_init();
  if (share == nullptr) {
    return nullptr;
  }
  // Never destroyed, like the share: a transfer may still run while the process exits.
  auto* locks = new ShareLocks;
  if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &LockShare) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &UnlockShare) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_USERDATA, locks) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
    curl_share_cleanup(share);
    delete locks;
    return nullptr;
  }
  return share;
}

}  // namespace

CURLSH* SharedCaches() {
  static CURLSH* const share = MakeShare();
  return share;
}

}  // namespace ksrn::net::curl
