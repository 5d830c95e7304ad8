#include "index/cpu_features.hpp"

namespace plovik {

bool cpu_has_avx2() {
#if PLOVIK_AVX2_TARGET
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return available;
#else
  return false;
#endif
}

bool cpu_has_sse42() {
#if PLOVIK_SSE42_TARGET
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return available;
#else
  return false;
#endif
}

}  // namespace plovik
