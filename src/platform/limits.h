// Every fixed limit of the library in one place: nothing here is configurable at run time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ksrn {

// Submission.
inline constexpr size_t kMaxUrlChars = 8192;
inline constexpr size_t kMaxMethodChars = 16;
inline constexpr size_t kMaxHeaderChars = 65536;
inline constexpr uint32_t kMaxBodyBytes = 1024 * 1024;
inline constexpr int32_t kDefaultTimeoutMs = 10000;
inline constexpr int32_t kMinTimeoutMs = 250;
inline constexpr int32_t kMaxTimeoutMs = 120000;

// The engine.
inline constexpr int kWorkerCount = 4;
inline constexpr size_t kMaxRequests = 32;
inline constexpr int32_t kMaxRequestId = 0x7FFFFFFF;
inline constexpr uint64_t kMaxResultBytes = 64ull * 1024 * 1024;
inline constexpr std::chrono::milliseconds kWatchdogPeriod{25};
inline constexpr int32_t kMaxThrottleMs = 60000;
inline constexpr int32_t kMaxKeepAliveMs = 300000;

// One response.
inline constexpr uint32_t kMaxResponseBodyBytes = 4 * 1024 * 1024;
inline constexpr uint32_t kMaxResponseHeaderBytes = 64 * 1024;
inline constexpr uint32_t kMaxReadBytes = 64 * 1024;

}  // namespace ksrn
