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

// The steady-clock instant of a time, for timed waits.
inline std::chrono::steady_clock::time_point ToTimePoint(SteadyTime time) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::nanoseconds(time)));
}

}  // namespace ksrn
