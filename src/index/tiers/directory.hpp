// The bucket directory of a tier: per table, for every key c of the key
// space, the number of the table's keys below c.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// Bucket directory of a tier of n points: per table b^K + 1 entries, entry
// c = number of keys below c. Empty when n = 0 or when L * (b^K + 1) * 8
// exceeds 2^26.
Array<uint32_t> build_offsets(const Index& ix, const Array<int64_t>& sorted_keys,
                              std::size_t n);

// The directory of one sorted table run of n keys: stride entries, entry c
// = number of keys below c.
void table_offsets(const int64_t* run, std::size_t n, uint32_t* out, std::size_t stride);

// Directory stride b^K + 1, or 0 when no directory is built at this size.
std::size_t directory_stride(const Index& ix);

}  // namespace plovik
