// Requests made ahead of the blocked search's walk over one table: the ids
// of the next buckets, the coordinate rows of the next bucket entries, and
// the heaps and query rows of the next key runs. Buckets lie scattered over
// the tables, their points over the coordinates and the block's heaps are
// evicted by that traffic, so every one of these reads would otherwise wait
// for memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/batched/workspace.hpp"
#include "index/memory/prefetch.hpp"

namespace plovik {

// Runs whose ids are requested ahead of the run being measured, runs whose
// heaps and query rows are, and coordinate rows requested ahead of the row
// being read.
inline constexpr std::size_t ids_runs_ahead = 8;
inline constexpr std::size_t heaps_runs_ahead = 4;
inline constexpr std::size_t rows_ahead = 32;

struct BlockPrefetch {
  const KeyRun* runs;
  std::size_t n_runs;
  const uint32_t* static_ids;  // table t of each tier, null when empty
  const uint32_t* cand_ids;
  uint64_t cand_base;  // added to a stored candidate id
  const float* coords;
  std::size_t d;
  std::size_t rows;  // of coords: a stored id of an unchecked tier may lie beyond
  bool one_line;     // no row crosses a cache line

  // The ids whose rows are requested next: a run's static or candidate
  // part, from `at` to `end`; then the part after it.
  const uint32_t* at = nullptr;
  const uint32_t* end = nullptr;
  uint64_t part_base = 0;
  std::size_t part_run = 0;
  bool part_cand = false;
  std::size_t requested = 0;  // rows requested so far
  std::size_t consumed = 0;   // rows read so far
  std::size_t ids_run = 0;    // the next run whose ids to request

  BlockPrefetch(const KeyRun* runs, std::size_t n_runs, const uint32_t* static_ids,
                const uint32_t* cand_ids, uint64_t cand_base, const float* coords, std::size_t d,
                std::size_t rows)
      : runs(runs),
        n_runs(n_runs),
        static_ids(static_ids),
        cand_ids(cand_ids),
        cand_base(cand_base),
        coords(coords),
        d(d),
        rows(rows),
        one_line(64 % (d * sizeof(float)) == 0 && reinterpret_cast<uintptr_t>(coords) % 64 == 0) {}

  // Id of entry p of run r's bucket: its static part, then its candidate part.
  int64_t id_at(const KeyRun& r, std::size_t p) const {
    return p < r.in_static()
               ? static_cast<int64_t>(static_ids[r.stat_start + p])
               : static_cast<int64_t>(cand_base + cand_ids[r.cand_start + (p - r.in_static())]);
  }

  // The ids are read once per block: they are fetched without displacing
  // the coordinates, which other tables of the block read again.
  void ids_through(std::size_t last) {
    for (; ids_run < n_runs && ids_run <= last; ++ids_run) {
      const KeyRun& r = runs[ids_run];
      prefetch_once_span(static_ids + r.stat_start, r.stat_end - r.stat_start);
      prefetch_once_span(cand_ids + r.cand_start, r.cand_end - r.cand_start);
    }
  }

  bool next_part() {
    while (part_run < n_runs) {
      const KeyRun& r = runs[part_run];
      if (!part_cand) {
        part_cand = true;
        at = static_ids + r.stat_start;
        end = static_ids + r.stat_end;
        part_base = 0;
      } else {
        part_cand = false;
        ++part_run;
        at = cand_ids + r.cand_start;
        end = cand_ids + r.cand_end;
        part_base = cand_base;
      }
      if (at != end) return true;
    }
    return false;
  }

  // The lines holding the next row.
  void next_row() {
    if (at == end && !next_part()) return;
    const auto id = static_cast<std::size_t>(part_base + *at++);
    ++requested;
    if (id >= rows) return;
    const float* row = coords + id * d;
    prefetch(row);
    if (!one_line) prefetch(row + d - 1);
  }

  // Before a row is read from coords_f32, in the order of the runs.
  void on_row() {
    ++consumed;
    while (requested < consumed + rows_ahead && (at != end || part_run < n_runs)) next_row();
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
