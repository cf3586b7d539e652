#include "net/curl/proxy.h"

#include <cstdlib>

#include "platform/mutex.h"
#include "platform/never_destroyed.h"

namespace ksrn::net::curl {
namespace {

struct ProxyState {
  Mutex mutex;
  bool read GUARDED_BY(mutex) = false;
  ProxySettings settings GUARDED_BY(mutex);
};

std::string Variable(const char* lower, const char* upper) {
  const char* value = std::getenv(lower);
  if (value == nullptr) {
    value = std::getenv(upper);
  }
  return value != nullptr ? value : "";
}

ProxySettings FromEnvironment() {
  return {Variable("https_proxy", "HTTPS_PROXY"), Variable("no_proxy", "NO_PROXY")};
}

}  // namespace

void ReadProxySettings() {
  ProxySettings settings = FromEnvironment();
  ProxyState& state = NeverDestroyed<ProxyState>();
  MutexLock lock(state.mutex);
  state.settings = std::move(settings);
  state.read = true;
}

ProxySettings CurrentProxySettings() {
  ProxyState& state = NeverDestroyed<ProxyState>();
  MutexLock lock(state.mutex);
  if (!state.read) {
    state.settings = FromEnvironment();
    state.read = true;
  }
  return state.settings;
}

void LockProxySettings() NO_THREAD_SAFETY_ANALYSIS { NeverDestroyed<ProxyState>().mutex.lock(); }
void UnlockProxySettings() NO_THREAD_SAFETY_ANALYSIS {
  NeverDestroyed<ProxyState>().mutex.unlock();
}

}  // namespace ksrn::net::curl
