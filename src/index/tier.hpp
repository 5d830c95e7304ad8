// The hash tables of one tier, as the index holds them: per table the ids
// of the tier's points in key order, and where each key's bucket lies.
// Keys are not stored per entry: a table's keys are those of its buckets,
// so `tables()` and the writes that need them per entry expand them from
// the directory (tiers/ranges.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"

namespace plovik {

struct Tier {
  // Table-major L x n: the ids of table t in ascending key order, at
  // t * n + j, each less the tier's base (0 for the static tier, n_static
  // for the candidates), so 32 bits hold them (a tier holds fewer than
  // 2^32 points).
  Array<uint32_t> ids;

  // Dense bucket directory when the key space is small enough
  // (directory_stride): L x (b^K + 1), entry t * (b^K + 1) + c = number of
  // keys of table t below c. Empty otherwise, or when the tier is empty.
  Array<uint32_t> offsets;

  // Without a dense directory, the occupied buckets: table t's are
  // [first_bucket[t], first_bucket[t + 1]) of bucket_keys (ascending) and
  // bucket j of them starts at position bucket_starts[first_bucket[t] + t + j]
  // of the table's run; each table's starts end with one more entry, n.
  Array<int64_t> bucket_keys;
  Array<uint32_t> bucket_starts;
  Array<uint64_t> first_bucket;  // L + 1 entries

  // Set when ids holds values never checked against the tier's size (a
  // file mapped at load, or a merge of such a tier): every read of an id
  // then checks it and skips one out of range.
  bool ids_unchecked = false;
};

}  // namespace plovik
