// The workspace of one task of the blocked batch search: the block's
// queries and heaps, the probe keys of the table being walked, the current
// bucket and its coordinate tile. Arrays are resized in place for every
// block, so a task allocates only when a block or a bucket outgrows all
// earlier ones.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/query/topk.hpp"

namespace plovik {

// Rows of coordinates measured together against the queries of a key run.
inline constexpr std::size_t tile_rows = 128;

// One probe of the block in the current table.
struct ProbeKey {
  int64_t key;
  uint32_t query;  // index within the block
};

// A key run of the sorted probe keys whose bucket holds at least one entry,
// with the bucket's positions in table t of each tier (a tier holds fewer
// than 2^32 points).
struct KeyRun {
  std::size_t first;  // its first entry in probe_keys
  std::size_t count;  // entries, one per (query, probe) landing in the bucket
  uint32_t stat_start, stat_end, cand_start, cand_end;

  std::size_t in_static() const { return stat_end - stat_start; }
  std::size_t size() const { return in_static() + (cand_end - cand_start); }
};

struct BlockWorkspace {
  Array<float> queries_f32;    // nb x d, wrapped and rounded
  Array<int64_t> exclude;      // nb excluded ids, -1 for none
  Array<Slot> heaps;           // nb x k: query j's heap in slots j*k ..
  Array<uint32_t> heap_lens;   // nb filled counts
  Array<int64_t> codes;        // K, scratch of the probe sequence
  Array<double> fracs;         // K
  Array<double> margins;       // K
  Array<ProbeKey> probe_keys;  // nb * (1 + P) of the current table, sorted
  Array<int64_t> bucket_ids;   // static bucket then candidate bucket of a run
  Array<float> tile;           // tile_rows x d coordinates of a bucket that
  Array<int64_t> tile_ids;     // several queries probe, and their ids
  // Scratch of the key sort, and the non-empty key runs of the current
  // table listed ahead of measuring so that their ids and coordinates can be
  // requested early.
  Array<ProbeKey> probe_scratch;
  Array<KeyRun> runs;
  std::size_t flips = 0;  // flip probes per table of the call (flips_per_table)
};

}  // namespace plovik
