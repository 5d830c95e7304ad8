// The hash tables of one tier, as the index holds them: per table the ids
// of the tier's live points in key order, and where each key's bucket
// lies. Keys are not stored per entry: a table's keys are those of its
// buckets, so `tables()` and the writes that need them per entry expand
// them from the directory (tiers/ranges.hpp).
//
// A retired point has no entry: retiring drops its entries from every
// table, so a tier of n points holds `entries` = n less its retired points
// per table, the same number in every table. Retiring compacts each table
// within its own part of `ids`, so a table's part can be longer than its
// entries until the next promote or rebuild writes the tier anew.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"

namespace plovik {

struct Tier {
  // Entries of each table: the tier's points that are not retired.
  std::size_t entries = 0;

  // Length of each table's part of `ids`: entries when the tier was
  // written, unchanged when a retire drops entries (the rest of the part
  // is never read).
  std::size_t ids_per_table = 0;

  // Table-major L x ids_per_table: the ids of table t in ascending key
  // order, at t * ids_per_table + j for j < entries, each less the tier's
  // base (0 for the static tier, n_static for the candidates), so 32 bits
  // hold them (a tier holds fewer than 2^32 points).
  Array<uint32_t> ids;

  // Dense bucket directory when the key space is small enough
  // (directory_stride): L x (b^K + 1), entry t * (b^K + 1) + c = number of
  // keys of table t below c. Empty otherwise, or when the tier has no
  // entry.
  Array<uint32_t> offsets;

  // Without a dense directory, the occupied buckets: table t's are
  // [first_bucket[t], first_bucket[t + 1]) of bucket_keys (ascending) and
  // bucket j of them starts at position bucket_starts[first_bucket[t] + t + j]
  // of the table's run; each table's starts end with one more, `entries`.
  // All three are empty when the tier has no entry.
  Array<int64_t> bucket_keys;
  Array<uint32_t> bucket_starts;
  Array<uint64_t> first_bucket;  // L + 1 entries

  // Set when ids holds values never checked against the tier's size (a
  // file mapped at load, or a merge of such a tier): every read of an id
  // then checks it and skips one out of range.
  bool ids_unchecked = false;
};

}  // namespace plovik
