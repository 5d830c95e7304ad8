#include "index/record.hpp"

#include <limits>

namespace plovik {

std::optional<int64_t> checked_key_space(int64_t b, std::size_t components) {
  int64_t space = 1;
  for (std::size_t j = 0; j < components; ++j)
    if (__builtin_mul_overflow(space, b, &space)) return std::nullopt;
  return space;
}

namespace {

// The bytes of an array's elements, in whole pages when it has pages of its
// own (array.hpp): a huge page is resident once touched. Capacity beyond
// the elements is never touched.
template <class T>
std::size_t bytes_of(const Array<T>& a) {
  using Alloc = DefaultInitAllocator<T>;
  const std::size_t bytes = a.size() * sizeof(T);
  if (a.capacity() * sizeof(T) < Alloc::map_from) return bytes;
  const bool huge = a.capacity() * sizeof(T) >= huge_page_bytes;
  return Alloc::round_up(bytes, huge ? huge_page_bytes : page_bytes);
}

std::size_t directory_bytes(const Tier& tier) {
  return bytes_of(tier.offsets) + bytes_of(tier.bucket_keys) + bytes_of(tier.bucket_starts) +
         bytes_of(tier.first_bucket);
}

}  // namespace

IndexBytes index_bytes(const Index& ix) {
  IndexBytes out;
  out.coordinates = bytes_of(ix.coords_f32) + bytes_of(ix.cand_f64);
  out.ids =
      bytes_of(ix.static_tables.ids) + bytes_of(ix.cand_tables.ids) + bytes_of(ix.retired.words);
  out.directories = directory_bytes(ix.static_tables) + directory_bytes(ix.cand_tables);
  out.reuse = ix.reuse.kept_bytes();
  return out;
}

int64_t key_space(const Index& ix) {
  return checked_key_space(ix.b, ix.k).value_or(std::numeric_limits<int64_t>::max());
}

}  // namespace plovik
