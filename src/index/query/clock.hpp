// The monotonic clock of the query timers, in nanoseconds.
#pragma once

#include <chrono>
#include <cstdint>

namespace plovik {

inline uint64_t clock_ns() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// t1 - t0, or 0 when the difference would be negative.
inline uint64_t elapsed_ns(uint64_t t0, uint64_t t1) { return t1 > t0 ? t1 - t0 : 0; }

}  // namespace plovik
