// Status and result access: the exports that poll a request and read its outcome, and what it
// did on the wire. They never block on a transfer and never change the request.
#include <algorithm>
#include <cstring>
#include <vector>

#include "api/lifecycle.h"
#include "kestrune.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

// Both references are held for the whole call, so a concurrent KSRN_Free or KSRN_Shutdown
// never destroys the engine or the record under it.
struct Lookup {
  EngineRef engine;
  RequestRef request;
};

// The steps every result call begins with: the engine, the id, the record and, unless only
// readiness is asked for, a published outcome. On failure the last error is set.
bool LookUp(int32_t id, bool needReady, Lookup& lookup) noexcept {
  lookup.engine = AcquireEngine();
  if (!lookup.engine) {
    return false;
  }
  if (id <= 0) {
    SetApiError(kErrorInvalidParameter);
    return false;
  }
  lookup.request = lookup.engine->Find(id);
  if (!lookup.request) {
    SetApiError(kErrorNotFound);
    return false;
  }
  if (needReady && !lookup.request->ready.load()) {
    SetApiError(kErrorIoIncomplete);
    return false;
  }
  return true;
}

// Looks the request up and calls read(result, error) on its published outcome under the
// record's lock, the lock the engine publishes under, so a reader never sees half an outcome.
// read returns the call's result and may set an error other than 0. A failed lookup returns 0.
template <typename T, typename Read>
T ReadOutcome(int32_t id, Read read) noexcept {
  Lookup lookup;
  if (!LookUp(id, true, lookup)) {
    return 0;
  }
  try {
    MutexLock lock(lookup.request->resultMutex);
    uint32_t error = kErrorSuccess;
    const T value = read(lookup.request->result, error);
    SetApiError(error);
    return value;
  } catch (...) {
    SetApiError(kErrorGenFailure);
    return 0;
  }
}

const std::vector<uint8_t>& ResultPart(const HttpResult& result, bool wantHeaders) {
  return wantHeaders ? result.headers : result.body;
}

// Body and header sizes are bounded far below 2 GiB by the transfer's limits.
int32_t ResultSize(int32_t id, bool wantHeaders) noexcept {
  return ReadOutcome<int32_t>(id, [wantHeaders](const HttpResult& result, uint32_t&) {
    return static_cast<int32_t>(ResultPart(result, wantHeaders).size());
  });
}

// Copies as much as fits and returns the full size, so a buffer that is too small still gets
// the first capacity bytes and tells the size needed (last error 122). A null buffer with
// capacity 0 is a size query.
int32_t CopyResult(int32_t id, uint8_t* buffer, int32_t capacity, bool wantHeaders) noexcept {
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
    SetApiError(kErrorInvalidParameter);
    return 0;
  }
  return ReadOutcome<int32_t>(id, [=](const HttpResult& result, uint32_t& error) {
    const std::vector<uint8_t>& data = ResultPart(result, wantHeaders);
    const size_t available = static_cast<size_t>(capacity);
    const size_t count = std::min(available, data.size());
    if (count > 0) {
      std::memcpy(buffer, data.data(), count);
    }
    error = available >= data.size() ? kErrorSuccess : kErrorInsufficientBuffer;
    return static_cast<int32_t>(data.size());
  });
}

}  // namespace
}  // namespace ksrn

using namespace ksrn;

int32_t KSRN_IsReady(int32_t id) {
  Lookup lookup;
  if (!LookUp(id, false, lookup)) {
    return 0;
  }
  SetApiError(kErrorSuccess);
  return lookup.request->ready.load() ? 1 : 0;
}

int32_t KSRN_Succeeded(int32_t id) {
  return ReadOutcome<int32_t>(id, [](const HttpResult& result, uint32_t&) {
    return result.bodyComplete && result.error == kErrorSuccess && result.statusCode >= 200 &&
                   result.statusCode <= 299
               ? 1
               : 0;
  });
}

int32_t KSRN_GetStatusCode(int32_t id) {
  return ReadOutcome<int32_t>(id, [](const HttpResult& result, uint32_t&) {
    return static_cast<int32_t>(result.statusCode);
  });
}

uint32_t KSRN_GetRequestError(int32_t id) {
  const uint32_t outcome =
      ReadOutcome<uint32_t>(id, [](const HttpResult& result, uint32_t&) { return result.error; });
  // A failed call returns its own failure code, the one it has just set as the last error.
  const uint32_t failure = GetApiError();
  return failure == kErrorSuccess ? outcome : failure;
}

int32_t KSRN_GetBodySize(int32_t id) { return ResultSize(id, false); }

int32_t KSRN_GetHeadersSize(int32_t id) { return ResultSize(id, true); }

int32_t KSRN_CopyBody(int32_t id, uint8_t* buffer, int32_t capacity) {
  return CopyResult(id, buffer, capacity, false);
}

int32_t KSRN_CopyHeaders(int32_t id, uint8_t* buffer, int32_t capacity) {
  return CopyResult(id, buffer, capacity, true);
}

int32_t KSRN_GetDelivery(int32_t id) {
  return ReadOutcome<int32_t>(id, [](const HttpResult& result, uint32_t&) {
    return static_cast<int32_t>(result.wire.delivery);
  });
}

int32_t KSRN_GetConnectionReused(int32_t id) {
  return ReadOutcome<int32_t>(
      id, [](const HttpResult& result, uint32_t&) { return result.wire.connectionReused ? 1 : 0; });
}

// Like the copies' arguments, the mark is checked first. Marks are reached within the time
// budget (two minutes at most), far inside 32 bits of microseconds.
int32_t KSRN_GetTimingUs(int32_t id, int32_t mark) {
  if (mark < static_cast<int32_t>(Mark::Started) || mark > kMarkCount) {
    SetApiError(kErrorInvalidParameter);
    return 0;
  }
  return ReadOutcome<int32_t>(id, [mark](const HttpResult& result, uint32_t&) {
    const SteadyTime at = result.wire.marks[static_cast<size_t>(mark) - 1];
    if (at == 0) {
      return -1;
    }
    return static_cast<int32_t>(std::max<SteadyTime>(at - result.wire.registeredAt, 0) /
                                kNanosecondsPerMicrosecond);
  });
}

// As the byte copies, in UTF-16 units with the terminator counted; a buffer too small still
// gets a terminated prefix.
int32_t KSRN_CopyRemoteAddress(int32_t id, KSRN_CHAR* buffer, int32_t capacity) {
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
    SetApiError(kErrorInvalidParameter);
    return 0;
  }
  return ReadOutcome<int32_t>(id, [=](const HttpResult& result, uint32_t& error) {
    const auto& address = result.wire.remoteAddress;
    const size_t length = std::char_traits<WideChar>::length(address.data()) + 1;
    const size_t available = static_cast<size_t>(capacity);
    if (available > 0) {
      const size_t count = std::min(available, length) - 1;
      std::copy_n(address.data(), count, buffer);
      buffer[count] = 0;
    }
    error = available >= length ? kErrorSuccess : kErrorInsufficientBuffer;
    return static_cast<int32_t>(length);
  });
}
