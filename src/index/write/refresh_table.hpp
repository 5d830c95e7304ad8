// One table of the candidate-tier refresh: the entries whose key changed
// leave the sorted run and enter again at their new key, ahead of the kept
// entries with an equal key; the table's bucket directory follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "index/memory/array.hpp"

namespace plovik {

using Entry = std::pair<int64_t, int64_t>;  // (key, id less the tier's base)

// Per-thread scratch, reused for every table the thread takes.
struct RefreshScratch {
  Array<Entry> moved;   // (new key, id) of the moved entries, filled by the caller
  Array<Entry> sorted;  // the same by (key, id), when counting-sorted
  Array<uint32_t> counts;
  Array<Entry> by_old;      // (old key, id) of the moved entries
  Array<std::size_t> gone;  // their positions in the old run
  Array<uint8_t> is_moved;  // per candidate of the table
  Array<int64_t> delta;     // directory changes
  Array<int64_t> old_run;   // the table's keys before the refresh, in run order
  Array<int64_t> old_keys;  // the same by candidate
  Array<int64_t> new_run;   // the table's keys after it
  // Dense directory (DenseTable):
  Array<uint32_t> old_key32;   // the keys before, by candidate
  Array<uint32_t> moved_rows;  // the moved candidates, ascending
  Array<uint32_t> moved_keys;  // their new keys
  Array<uint32_t> moved_was;   // their old keys, while few moved
  Array<uint32_t> enter;       // per key: moved entries below it, then up to it
  Array<uint32_t> placed;      // the moved candidates by new key
};

// One table's runs of `entries` entries, the same number before and after;
// the ids lie in 0 .. points - 1 (candidate ids less n_static; a retired
// candidate has no entry, so there may be fewer entries than points).
struct TableRuns {
  const int64_t* old_keys;     // the keys before the refresh, by candidate
  const int64_t* sorted_keys;  // the sorted run before the refresh
  const uint32_t* sorted_ids;
  int64_t* out_keys;  // the sorted run after it
  uint32_t* out_ids;
  std::size_t entries;
  std::size_t points;
};

// Writes the refreshed run. s.moved holds the moved entries in ascending id
// order (at least one, each with an entry in the run); `space` is b^K.
void refresh_table(RefreshScratch& s, const TableRuns& r, int64_t space);

// The table's directory run (stride entries) after the refresh, from the
// one before and the moves in s.moved. False, writing nothing useful, when
// a key falls outside the directory; table_offsets is needed then.
bool shift_offsets(RefreshScratch& s, const TableRuns& r, const uint32_t* old_dir,
                   uint32_t* out_dir, std::size_t stride);

// A table with a dense directory (stride = b^K + 1 entries, entry c the
// number of keys below c): its run and directory before the refresh, and
// where the refreshed ones go. Its keys are read from the directory, so
// neither refresh below expands them per entry.
struct DenseTable {
  const uint32_t* ids;
  const uint32_t* dir;
  uint32_t* out_ids;
  uint32_t* out_dir;
};

// What the moves of one table do to it, found by the two functions below:
// s.moved_rows and s.moved_keys (ascending ids), s.delta the change of each
// directory entry's step, s.enter the moved entries' count by key, and,
// when they return `located`, s.gone the old positions of the moved
// entries, ascending. Not `ok` when a key lies
// outside the key space (nothing useful found; the caller refreshes the
// table through its per-entry keys).
struct DenseMoves {
  bool ok = false;
  bool located = false;  // s.gone holds the old positions
  bool flagged = false;  // s.is_moved flags the moved candidates
};

// Every candidate rehashed: new_keys[id] is candidate id's new key in the
// table; the old keys are read from the directory.
DenseMoves moves_of_all(RefreshScratch& s, const DenseTable& r, const int64_t* new_keys,
                        std::size_t n, std::size_t stride);

// The m changed rows (ascending candidates), with their keys in the table
// before and after: the entries whose key changed are looked for in their
// old buckets.
DenseMoves moves_of_rows(RefreshScratch& s, const DenseTable& r, const uint32_t* rows,
                         const int64_t* before, const int64_t* after, std::size_t m, std::size_t n,
                         std::size_t stride);

// Writes the refreshed run and directory of a table with at least one
// moved entry, in the order refresh_table gives.
void refresh_dense(RefreshScratch& s, const DenseTable& r, DenseMoves found, std::size_t n,
                   std::size_t stride);

}  // namespace plovik
