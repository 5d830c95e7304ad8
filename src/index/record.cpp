#include "index/record.hpp"

#include <limits>

namespace plovik {

int64_t key_space(const Index& ix) {
  int64_t out;
  if (__builtin_mul_overflow(static_cast<int64_t>(ix.radix[ix.k - 1]), ix.b, &out)) {
    const bool negative = (static_cast<int64_t>(ix.radix[ix.k - 1]) < 0) != (ix.b < 0);
    return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  }
  return out;
}

}  // namespace plovik
