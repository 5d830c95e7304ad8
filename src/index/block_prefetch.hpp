// Requests made ahead of the blocked search's walk over one table: the ids
// of the next buckets, the coordinate rows of the next bucket entries, and
// the heaps and query rows of the next key runs. Buckets lie scattered over
// the tables, their points over the coordinates and the block's heaps are
// evicted by that traffic, so every one of these reads would otherwise wait
// for memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "block_workspace.hpp"
#include "prefetch.hpp"

namespace plovik {

// Runs whose ids are requested ahead of the run being measured, runs whose
// heaps and query rows are, and the coordinate rows requested ahead of the
// row being copied: at least rows_min while a tile is copied, up to
// rows_max while tiles are measured so that memory keeps working during the
// arithmetic (two rows per group of four measured).
inline constexpr std::size_t ids_runs_ahead = 8;
inline constexpr std::size_t heaps_runs_ahead = 4;
inline constexpr std::size_t rows_min = 32;
inline constexpr std::size_t rows_max = 128;
inline constexpr std::size_t rows_per_group = 2;

struct BlockPrefetch {
  const KeyRun* runs;
  std::size_t n_runs;
  const int64_t* static_ids;  // table t of each tier, null when empty
  const int64_t* cand_ids;
  const float* coords;
  std::size_t d;
  std::size_t row_run = 0, row_pos = 0;  // the next row to request
  std::size_t requested = 0;             // rows requested so far
  std::size_t copied = 0;                // rows copied so far
  std::size_t ids_run = 0;               // the next run whose ids to request

  // Id of entry p of run r's bucket: its static part, then its candidate part.
  int64_t id_at(const KeyRun& r, std::size_t p) const {
    return p < r.in_static() ? static_ids[r.stat_start + p]
                             : cand_ids[r.cand_start + (p - r.in_static())];
  }

  void ids_through(std::size_t last) {
    for (; ids_run < n_runs && ids_run <= last; ++ids_run) {
      const KeyRun& r = runs[ids_run];
      if (r.stat_end > r.stat_start) prefetch_span(static_ids + r.stat_start, r.in_static());
      if (r.cand_end > r.cand_start) prefetch_span(cand_ids + r.cand_start, r.cand_end - r.cand_start);
    }
  }

  // The lines holding the first and last value of the next row.
  void next_row() {
    const KeyRun& r = runs[row_run];
    const auto* first = reinterpret_cast<const char*>(
        coords + static_cast<std::size_t>(id_at(r, row_pos)) * d);
    const char* last = first + d * sizeof(float) - 1;
    prefetch(first);
    if ((reinterpret_cast<uintptr_t>(first) >> 6) != (reinterpret_cast<uintptr_t>(last) >> 6))
      prefetch(last);
    ++requested;
    if (++row_pos == r.size()) {
      ++row_run;
      row_pos = 0;
    }
  }

  // Before copying a row.
  void on_copy() {
    ++copied;
    while (requested < copied + rows_min && row_run < n_runs) next_row();
  }

  // Once per group of rows measured.
  void on_group() {
    for (std::size_t i = 0; i < rows_per_group && requested < copied + rows_max && row_run < n_runs; ++i)
      next_row();
  }
};

// The heap roots and query rows of a run's entries.
inline void prefetch_entries(const KeyRun& run, const ProbeKey* keys, const Slot* heaps,
                             std::size_t k, const float* queries, std::size_t d) {
  for (std::size_t e = run.first; e < run.first + run.count; ++e) {
    const std::size_t j = keys[e].query;
    prefetch(heaps + j * k);
    prefetch_span(queries + j * d, d, 2);
  }
}

}  // namespace plovik
