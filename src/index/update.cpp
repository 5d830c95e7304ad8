#include "update.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "build.hpp"
#include "errors.hpp"
#include "hash.hpp"
#include "parallel/pool.hpp"
#include "tiers.hpp"

namespace plovik {

namespace {

using Entry = std::pair<int64_t, int64_t>;  // (key, id)

// Per-thread scratch of the table refresh, reused for every table the
// thread takes.
struct Scratch {
  Array<uint8_t> moved;   // moved[i]: candidate i changed key in this table
  Array<Entry> entries;   // the moved entries, (new key, id), ids ascending
  Array<Entry> sorted;    // the same by (key, id), when counting-sorted
  Array<uint32_t> counts;
};

// Stable counting sort of the entries by key; they arrive in ascending id
// order, so the result is in (key, id) order. False (and nothing sorted)
// when a key lies outside [0, space).
bool counting_sort(Scratch& s, int64_t space) {
  const std::size_t S = static_cast<std::size_t>(space);
  s.counts.assign(S + 1, 0);
  for (const Entry& e : s.entries) {
    if (e.first < 0 || e.first >= space) return false;
    ++s.counts[static_cast<std::size_t>(e.first) + 1];
  }
  for (std::size_t c = 0; c < S; ++c) s.counts[c + 1] += s.counts[c];
  s.sorted.resize(s.entries.size());
  for (const Entry& e : s.entries) s.sorted[s.counts[static_cast<std::size_t>(e.first)]++] = e;
  return true;
}

const Entry* sort_moved(Scratch& s, int64_t space) {
  if (counting_sort_pays(space, s.entries.size()) && counting_sort(s, space))
    return s.sorted.data();
  std::sort(s.entries.begin(), s.entries.end());
  return s.entries.data();
}

struct TableRuns {
  const int64_t* old_keys;     // cand_keys of the table (before)
  const int64_t* new_keys;     // the freshly computed keys
  const int64_t* sorted_keys;  // the table's sorted run (before)
  const int64_t* sorted_ids;
  int64_t* out_keys;           // the table's new sorted run
  int64_t* out_ids;
};

// One table with at least one changed key: the entries whose key changed
// are deleted from the run and merged back in at their new key, ahead of
// the kept entries of an equal key.
void refresh_table(Scratch& s, const TableRuns& r, std::size_t n, std::size_t base,
                   int64_t space) {
  s.moved.resize(n);
  s.entries.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const bool changed = r.old_keys[i] != r.new_keys[i];
    s.moved[i] = changed;
    if (changed) s.entries.emplace_back(r.new_keys[i], static_cast<int64_t>(base + i));
  }
  const Entry* moved = sort_moved(s, space);
  const std::size_t m = s.entries.size();

  std::size_t a = 0, o = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const int64_t id = r.sorted_ids[j];
    if (s.moved[static_cast<std::size_t>(id) - base]) continue;
    const int64_t key = r.sorted_keys[j];
    for (; a < m && moved[a].first <= key; ++a, ++o) {
      r.out_keys[o] = moved[a].first;
      r.out_ids[o] = moved[a].second;
    }
    r.out_keys[o] = key;
    r.out_ids[o] = id;
    ++o;
  }
  for (; a < m; ++a, ++o) {
    r.out_keys[o] = moved[a].first;
    r.out_ids[o] = moved[a].second;
  }
}

}  // namespace

void update(RustLshIndex& ix, Array<double> coords) {
  const std::size_t count = coords.size();
  if (ix.d == 0) {
    if (count == 0) return;
    throw InvalidArgument("the index has not been built");
  }
  const std::size_t n = ix.n_cand(), d = ix.d, L = ix.l, base = ix.n_static;
  if (count != n * d)
    throw Panic("update expects " + std::to_string(n * d) + " values, got " +
                std::to_string(count));
  if (n == 0) return;

  // Everything new is computed aside first; the record changes only at the
  // end, so a failure on the way (memory) leaves the index as it was.
  Array<float> f32(count);
  wrap_to_f32(coords.data(), f32.data(), count);
  Array<int64_t> new_keys = compute_keys_of(ix, coords.data(), d, 0, n);
  const Array<int64_t>& old_keys = ix.cand_keys;

  // Tables without a changed key keep their runs; memcmp stops at the first
  // difference, so finding the changed ones costs little.
  Array<uint8_t> changed(L);
  parallel::for_each(L, [&](std::size_t t) {
    changed[t] = std::memcmp(old_keys.data() + t * n, new_keys.data() + t * n,
                             n * sizeof(int64_t)) != 0;
  });
  const bool any_changed = std::find(changed.begin(), changed.end(), 1) != changed.end();

  SortedTier runs;
  Array<uint32_t> offsets;
  if (any_changed) {
    runs.keys.resize(checked_mul(L, n));
    runs.ids.resize(L * n);
    const int64_t space = key_space(ix);
    parallel::for_tasks(
        L, [] { return Scratch{}; },
        [&](Scratch& s, std::size_t t) {
          const std::size_t at = t * n;
          if (!changed[t]) {
            std::memcpy(runs.keys.data() + at, ix.cand_sorted_keys.data() + at,
                        n * sizeof(int64_t));
            std::memcpy(runs.ids.data() + at, ix.cand_sorted_ids.data() + at,
                        n * sizeof(int64_t));
            return;
          }
          const TableRuns r{old_keys.data() + at,          new_keys.data() + at,
                            ix.cand_sorted_keys.data() + at, ix.cand_sorted_ids.data() + at,
                            runs.keys.data() + at,          runs.ids.data() + at};
          refresh_table(s, r, n, base, space);
        });
    offsets = build_offsets(ix, runs.keys, n);
  }

  // Install: copies into existing storage and moves only.
  std::memcpy(ix.coords_f64.data() + base * d, coords.data(), count * sizeof(double));
  std::memcpy(ix.coords_f32.data() + base * d, f32.data(), count * sizeof(float));
  ix.cand_keys = std::move(new_keys);
  if (any_changed) {
    ix.cand_sorted_keys = std::move(runs.keys);
    ix.cand_sorted_ids = std::move(runs.ids);
    ix.cand_offsets = std::move(offsets);
  }
}

}  // namespace plovik
