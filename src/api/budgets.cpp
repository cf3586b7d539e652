// The per-host budget exports: each checks the host name (or the share name) and the ranges,
// then makes one engine call.
#include <algorithm>
#include <limits>
#include <new>
#include <string>

#include "api/lifecycle.h"
#include "engine/budget_ledger.h"
#include "kestrune.h"
#include "platform/ascii.h"
#include "platform/win32_errors.h"
#include "validate/exchange_hosts.h"

namespace ksrn {
namespace {

constexpr size_t kLongestShareName = 64;

// Runs call(engine, hostIndex) for a host name that passes the checks; otherwise 0 with the
// refusal. Engine calls that fail to lock become 31 here rather than unwind into a C caller.
template <typename Call>
int32_t OnHost(const WideChar* host, Call call) noexcept {
  const EngineRef engine = AcquireEngine();
  if (!engine) {
    return 0;
  }
  int index = -1;
  if (const uint32_t error = CheckExchangeHostName(host, index); error != kErrorSuccess) {
    SetApiError(error);
    return 0;
  }
  try {
    uint32_t error = kErrorSuccess;
    const int32_t result = call(*engine, index, error);
    SetApiError(error);
    return result;
  } catch (...) {
    SetApiError(kErrorGenFailure);
    return 0;
  }
}

int32_t Clamp32(uint64_t value) {
  return static_cast<int32_t>(std::min<uint64_t>(value, std::numeric_limits<int32_t>::max()));
}

// 1 to 64 of A-Za-z0-9._-; empty when the name is refused.
std::string ShareNameOf(const WideChar* name) {
  std::string text;
  if (name == nullptr) {
    return text;
  }
  for (size_t i = 0; name[i] != 0; ++i) {
    const WideChar unit = name[i];
    if (i == kLongestShareName ||
        !(IsAsciiLetter(unit) || IsAsciiDigit(unit) || unit == '.' || unit == '_' || unit == '-')) {
      return {};
    }
    text.push_back(static_cast<char>(unit));
  }
  return text;
}

}  // namespace
}  // namespace ksrn

using namespace ksrn;

int32_t KSRN_SetHostBudget(const KSRN_CHAR* host, int32_t units, int32_t periodMs) {
  // Ranges first, as every other call checks its numbers before its texts.
  if (units < 0 || units > kMaxBudgetUnits ||
      (units > 0 && (periodMs < 1 || periodMs > kMaxBudgetPeriodMs))) {
    if (AcquireEngine()) {
      SetApiError(kErrorInvalidParameter);
    }
    return 0;
  }
  return OnHost(host, [&](HttpEngine& engine, int index, uint32_t&) {
    engine.SetHostBudget(index, units, periodMs);
    return 1;
  });
}

int32_t KSRN_GetHostHoldMs(const KSRN_CHAR* host) {
  return OnHost(host, [](HttpEngine& engine, int index, uint32_t&) {
    return Clamp32(static_cast<uint64_t>(engine.HostHoldMs(index)));
  });
}

int32_t KSRN_GetHostUnitsLeft(const KSRN_CHAR* host) {
  return OnHost(host, [](HttpEngine& engine, int index, uint32_t& error) {
    if (engine.HostBudgetUnits(index) == 0) {
      error = kErrorNotFound;
      return 0;
    }
    return Clamp32(engine.HostUnitsLeft(index));
  });
}

int32_t KSRN_ShareBudgets(const KSRN_CHAR* name) {
  const EngineRef engine = AcquireEngine();
  if (!engine) {
    return 0;
  }
  try {
    const std::string text = ShareNameOf(name);
    const uint32_t error = text.empty() ? kErrorInvalidParameter : engine->ShareBudgets(text);
    SetApiError(error);
    return error == kErrorSuccess ? 1 : 0;
  } catch (const std::bad_alloc&) {
    SetApiError(kErrorNotEnoughMemory);
  } catch (...) {
    SetApiError(kErrorGenFailure);
  }
  return 0;
}
