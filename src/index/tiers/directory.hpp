// The directories of a tier: the dense bucket directory (per table, for
// every key c of the key space, the number of the table's keys below c)
// where the key space is small, else the list of occupied buckets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// The directory of one sorted table run of n keys: stride entries, entry c
// = number of keys below c.
void table_offsets(const int64_t* run, std::size_t n, uint32_t* out, std::size_t stride);

// Dense directory stride b^K + 1, or 0 when no dense directory is built at
// this size (when L * (b^K + 1) * 8 exceeds 2^26).
std::size_t directory_stride(const Index& ix);

// One table's occupied buckets: their keys ascending and where each starts,
// then one more start, the run's length.
struct TableBuckets {
  Array<int64_t> keys;
  Array<uint32_t> starts;
};

// The buckets of one sorted run of n keys.
void buckets_of_run(const int64_t* run, std::size_t n, TableBuckets& out);

// Sets the bucket arrays of `tier` from every table's buckets, tables in
// order (the dense directory is left alone).
void join_buckets(Tier& tier, const std::vector<TableBuckets>& tables);

// Whether every table's dense directory row counts all n entries of its
// run: every key lies in the key space.
bool directory_covers(const Array<uint32_t>& offsets, std::size_t stride, std::size_t n);

}  // namespace plovik
