#include "index/tiers/directory.hpp"

#include <cstring>
#include <limits>

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

void buckets_of_run(const int64_t* run, std::size_t n, TableBuckets& out) {
  out.keys.clear();
  out.starts.clear();
  for (std::size_t j = 0; j < n; ++j)
    if (j == 0 || run[j] != run[j - 1]) {
      out.keys.push_back(run[j]);
      out.starts.push_back(static_cast<uint32_t>(j));
    }
  out.starts.push_back(static_cast<uint32_t>(n));
}

void join_buckets(Tier& tier, const std::vector<TableBuckets>& tables) {
  std::size_t total = 0;
  for (const TableBuckets& b : tables) total = checked_add(total, b.keys.size());
  Array<int64_t> keys(total);
  Array<uint32_t> starts(checked_add(total, tables.size()));
  Array<uint64_t> first(tables.size() + 1);
  std::size_t at = 0;
  for (std::size_t t = 0; t < tables.size(); ++t) {
    const TableBuckets& b = tables[t];
    first[t] = at;
    if (!b.keys.empty())
      std::memcpy(keys.data() + at, b.keys.data(), b.keys.size() * sizeof(int64_t));
    std::memcpy(starts.data() + at + t, b.starts.data(), b.starts.size() * sizeof(uint32_t));
    at += b.keys.size();
  }
  first[tables.size()] = at;
  tier.bucket_keys = std::move(keys);
  tier.bucket_starts = std::move(starts);
  tier.first_bucket = std::move(first);
}

bool directory_covers(const Array<uint32_t>& offsets, std::size_t stride, std::size_t n) {
  if (stride == 0) return false;
  for (std::size_t at = 0; at < offsets.size(); at += stride)
    if (offsets[at] != 0 || offsets[at + stride - 1] != n) return false;
  return true;
}

}  // namespace plovik
