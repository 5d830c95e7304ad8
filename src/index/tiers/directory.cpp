#include "index/tiers/directory.hpp"

#include <limits>

#include "parallel/pool.hpp"

namespace plovik {

std::size_t directory_stride(const Index& ix) {
  if (ix.k == 0) return 0;
  const int64_t space = key_space(ix);
  if (space <= 0) return 0;
  // (S + 1) * L * 8 bytes at most 2^26: the factor 8 is part of the size
  // rule although entries are four bytes wide.
  const uint64_t s1 = static_cast<uint64_t>(space) + 1;
  uint64_t bytes;
  if (__builtin_mul_overflow(s1, static_cast<uint64_t>(ix.l) * 8, &bytes) ||
      static_cast<uint64_t>(ix.l) > std::numeric_limits<uint64_t>::max() / 8)
    return 0;
  if (bytes > (uint64_t{1} << 26)) return 0;
  return static_cast<std::size_t>(s1);
}

void table_offsets(const int64_t* run, std::size_t n, uint32_t* out, std::size_t stride) {
  // One forward cursor: O(n + stride).
  std::size_t p = 0;
  for (std::size_t c = 0; c < stride; ++c) {
    while (p < n && run[p] < static_cast<int64_t>(c)) ++p;
    out[c] = static_cast<uint32_t>(p);
  }
}

Array<uint32_t> build_offsets(const Index& ix, const Array<int64_t>& sorted_keys,
                              std::size_t n) {
  const std::size_t stride = directory_stride(ix);
  Array<uint32_t> dir;
  if (n == 0 || stride == 0) return dir;
  const std::size_t L = ix.l;
  dir.resize(L * stride);
  parallel::for_each(L, [&](std::size_t t) {
    table_offsets(sorted_keys.data() + t * n, n, dir.data() + t * stride, stride);
  });
  return dir;
}

}  // namespace plovik
