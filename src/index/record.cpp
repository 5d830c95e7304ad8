#include "index/record.hpp"

#include <limits>

namespace plovik {

std::optional<int64_t> checked_key_space(int64_t b, std::size_t k) {
  int64_t space = 1;
  for (std::size_t j = 0; j < k; ++j)
    if (__builtin_mul_overflow(space, b, &space)) return std::nullopt;
  return space;
}

int64_t key_space(const Index& ix) {
  return checked_key_space(ix.b, ix.k).value_or(std::numeric_limits<int64_t>::max());
}

}  // namespace plovik
