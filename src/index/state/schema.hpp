// The entries of a state (the index as plain numbers and arrays): one list
// that the binding reads and writes states by and exports to Python as
// plovik._native.STATE_VERSION, STATE_INTS and STATE_ARRAYS, the names a
// saved index's manifest and files are checked against.
#pragma once

#include <cstdint>

// X(name) for every scalar entry, in order: b is signed, the rest are
// unsigned 64-bit sizes.
#define PLOVIK_STATE_INTS(X) X(b) X(k) X(l) X(probes) X(block) X(d) X(n_points) X(n_static)

// X(name, element type, dimensions) for every array, in order. A tier's
// arrays are its ids (L, m) and its directory: the occupied buckets' keys,
// where each starts in its table's run of ids, and each table's first bucket.
#define PLOVIK_STATE_ARRAYS(X)         \
  X(s, int64_t, 1)                     \
  X(u, double, 1)                      \
  X(coords, float, 2)                  \
  X(cand_coords, double, 2)            \
  X(static_ids, uint32_t, 2)           \
  X(static_bucket_keys, int64_t, 1)    \
  X(static_bucket_starts, uint32_t, 1) \
  X(static_first_bucket, uint64_t, 1)  \
  X(cand_ids, uint32_t, 2)             \
  X(cand_bucket_keys, int64_t, 1)      \
  X(cand_bucket_starts, uint32_t, 1)   \
  X(cand_first_bucket, uint64_t, 1)    \
  X(retired, uint64_t, 1)

namespace plovik {

// The version of the state's layout (and of a saved index's tables).
inline constexpr long state_version = 1;

}  // namespace plovik
