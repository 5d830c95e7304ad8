// An index as plain arrays and numbers (its state), and back: the export
// that save and pickle read, the checks a state passes before an index is
// made of it, and the install of a checked state into a fresh index.
//
// The state's tables hold, per tier, the ids of each table in key order and
// the occupied buckets (keys ascending, where each starts, where each
// table's buckets begin). A tier that the index keeps with a dense
// directory is exported as its buckets, and the dense directory is rebuilt
// from them at install.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/counters.hpp"
#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// Rows and columns of a two-dimensional array of a state.
struct StateShape {
  std::size_t rows = 0;
  std::size_t cols = 0;
};

// The sizes of a state: its numbers and its arrays' shapes, checked before
// any array is read.
struct StateSizes {
  int64_t b = 0;
  std::size_t k = 0, l = 0, probes = 0, block = 0;
  std::size_t d = 0, n_points = 0, n_static = 0;
  std::size_t s = 0, u = 0;  // lengths
  StateShape coords, cand_coords;
  struct Tier {
    StateShape ids;  // (L, m)
    std::size_t bucket_keys = 0, bucket_starts = 0, first_bucket = 0;
  } stat, cand;
  std::size_t retired = 0;  // words
};

// One tier of a state.
struct TierState {
  Array<uint32_t> ids;  // L x m, table-major
  std::size_t m = 0;    // entries per table
  Array<int64_t> bucket_keys;
  Array<uint32_t> bucket_starts;
  Array<uint64_t> first_bucket;
  bool ids_mapped = false;  // mapped from a file, not read at load: unchecked
};

struct IndexState {
  int64_t b = 0;
  std::size_t k = 0, l = 0, probes = 0, block = 0;
  std::size_t d = 0, n_points = 0, n_static = 0;
  Array<int64_t> s;
  Array<double> u;
  Array<float> coords;  // n_points x d
  bool coords_mapped = false;
  Array<double> cand_coords;  // (n_points - n_static) x d
  TierState stat, cand;
  Array<uint64_t> retired;
  QueryCounts counts;
};

// Throws InvalidArgument naming the first size that does not fit the
// others or the engine's limits.
void validate_state_sizes(const StateSizes& sizes);

// Throws InvalidArgument naming the first value a state of checked sizes
// must not hold (keys out of order or outside the key space, bucket starts
// or table bounds out of order, ids out of range or repeated within a
// table, coordinates not finite, retired bits at or beyond n_points).
// Arrays mapped from a file are not read.
void validate_state_values(const IndexState& state);

// Makes `ix` (a freshly constructed record) the index of a checked state,
// consuming it. Mapped arrays become the index's arrays and their tiers are
// marked unchecked (Tier::ids_unchecked).
void install_state(Index& ix, IndexState&& state);

// The sizes of the state of `ix`: a tier's entries per table and its
// occupied buckets.
struct TierExportSizes {
  std::size_t m = 0;
  std::size_t buckets = 0;
};
TierExportSizes tier_export_sizes(const Index& ix, bool cand);

// Writes a tier's state arrays: ids (L x m), keys (buckets), starts
// (buckets + L) and first (L + 1). For an unbuilt index there is nothing
// to write.
void export_tier(const Index& ix, bool cand, uint32_t* ids, int64_t* keys, uint32_t* starts,
                 uint64_t* first);

}  // namespace plovik
