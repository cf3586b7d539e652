// The one clock of the library: the monotonic steady clock, read in nanoseconds.
#pragma once

#include <chrono>
#include <cstdint>

namespace ksrn {

// Nanoseconds on the steady clock.
using SteadyTime = int64_t;

inline constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
inline constexpr int64_t kNanosecondsPerMicrosecond = 1'000;

inline SteadyTime SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace ksrn
