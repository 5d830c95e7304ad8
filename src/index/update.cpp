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
  Array<Entry> entries;     // the moved entries, (new key, id), ids ascending
  Array<Entry> sorted;      // the same by (key, id), when counting-sorted
  Array<uint32_t> counts;
  Array<Entry> by_old;      // (old key, id) of the moved entries
  Array<std::size_t> gone;  // their positions in the old run
  Array<uint8_t> moved;     // moved[i]: candidate i changed key in this table
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

// The candidates whose keys may have changed: all n, or those listed.
struct RowSet {
  std::size_t n = 0;
  bool all = false;
  Array<uint32_t> some;  // ascending

  template <class F>
  void for_each(F&& f) const {
    if (all)
      for (std::size_t i = 0; i < n; ++i) f(i);
    else
      for (uint32_t i : some) f(i);
  }
};

struct TableRuns {
  const int64_t* old_keys;     // cand_keys of the table (before)
  const int64_t* new_keys;     // the freshly computed keys
  const int64_t* sorted_keys;  // the table's sorted run (before)
  const int64_t* sorted_ids;
  int64_t* out_keys;           // the table's new sorted run
  int64_t* out_ids;
};

// The positions the moved entries held in the old run, ascending: each is
// looked for among the entries of its old key. False when those runs of
// equal keys hold more than `budget` entries in all; a walk over the whole
// table is cheaper then.
bool find_old_positions(Scratch& s, const TableRuns& r, std::size_t n, std::size_t base,
                        std::size_t budget) {
  s.by_old.clear();
  for (const Entry& e : s.entries)
    s.by_old.emplace_back(r.old_keys[static_cast<std::size_t>(e.second) - base], e.second);
  std::sort(s.by_old.begin(), s.by_old.end());
  s.gone.clear();
  const int64_t* keys = r.sorted_keys;
  std::size_t lo = 0, scanned = 0;
  for (const auto& [key, id] : s.by_old) {
    lo = static_cast<std::size_t>(std::lower_bound(keys + lo, keys + n, key) - keys);
    const std::size_t end = std::min(n, lo + (budget - scanned));
    std::size_t j = lo;
    while (j < end && r.sorted_ids[j] != id) ++j;
    if (j == end) return false;
    scanned += j - lo + 1;
    s.gone.push_back(j);
  }
  std::sort(s.gone.begin(), s.gone.end());
  return true;
}

inline void put(const TableRuns& r, std::size_t& o, int64_t key, int64_t id) {
  r.out_keys[o] = key;
  r.out_ids[o] = id;
  ++o;
}

// Few moved entries: the kept entries are copied in blocks between the
// positions where a moved entry left or enters. A moved entry enters before
// the first old entry whose key is not below its own, so ahead of kept
// entries with an equal key.
void splice(const TableRuns& r, const Entry* moved, const Array<std::size_t>& gone,
            std::size_t n) {
  const std::size_t m = gone.size();
  std::size_t j = 0, o = 0, a = 0, g = 0, at = 0;
  bool located = false;  // `at` holds moved[a]'s entry point
  auto copy_to = [&](std::size_t end) {
    std::memcpy(r.out_keys + o, r.sorted_keys + j, (end - j) * sizeof(int64_t));
    std::memcpy(r.out_ids + o, r.sorted_ids + j, (end - j) * sizeof(int64_t));
    o += end - j;
  };
  while (a < m || g < m) {
    if (a < m && !located) {
      at = static_cast<std::size_t>(
          std::lower_bound(r.sorted_keys + at, r.sorted_keys + n, moved[a].first) - r.sorted_keys);
      located = true;
    }
    if (a < m && (g == m || at <= gone[g])) {
      copy_to(at);
      j = at;
      put(r, o, moved[a].first, moved[a].second);
      ++a;
      located = false;
    } else {
      copy_to(gone[g]);
      j = gone[g] + 1;
      ++g;
    }
  }
  copy_to(n);
}

// Many moved entries: one pass over the old run that drops them and merges
// them back in, ahead of kept entries with an equal key.
void walk(Scratch& s, const TableRuns& r, const Entry* moved, std::size_t n, std::size_t base) {
  s.moved.resize(n);
  for (std::size_t i = 0; i < n; ++i) s.moved[i] = r.old_keys[i] != r.new_keys[i];
  const std::size_t m = s.entries.size();
  std::size_t a = 0, o = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const int64_t id = r.sorted_ids[j];
    if (s.moved[static_cast<std::size_t>(id) - base]) continue;
    const int64_t key = r.sorted_keys[j];
    for (; a < m && moved[a].first <= key; ++a) put(r, o, moved[a].first, moved[a].second);
    put(r, o, key, id);
  }
  for (; a < m; ++a) put(r, o, moved[a].first, moved[a].second);
}

// One table with at least one changed key: the entries whose key changed
// are deleted from the run and merged back in at their new key, ahead of
// the kept entries of an equal key.
void refresh_table(Scratch& s, const TableRuns& r, const RowSet& rows, std::size_t n,
                   std::size_t base, int64_t space) {
  s.entries.clear();
  rows.for_each([&](std::size_t i) {
    if (r.old_keys[i] != r.new_keys[i])
      s.entries.emplace_back(r.new_keys[i], static_cast<int64_t>(base + i));
  });
  const Entry* moved = sort_moved(s, space);
  // Block copies pay while the blocks stay long.
  if (s.entries.size() <= n / 16 && find_old_positions(s, r, n, base, n / 8))
    splice(r, moved, s.gone, n);
  else
    walk(s, r, moved, n, base);
}

// Keys of the new candidate coordinates. A row whose values are bitwise
// those it had keeps its keys, so when few rows changed only those are
// hashed and the others' keys copied; the result is the full computation's.
// `rows` receives the rows whose keys may have changed.
Array<int64_t> refreshed_keys(const RustLshIndex& ix, const double* coords, std::size_t n,
                              RowSet& rows) {
  const std::size_t d = ix.d, L = ix.l;
  const double* old_rows = ix.coords_f64.data() + ix.n_static * d;
  Array<uint8_t> row_changed(n);
  struct NoState {};
  parallel::for_chunks(
      n, std::size_t{1} << 12, [] { return NoState{}; },
      [&](NoState&, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
          row_changed[i] = std::memcmp(coords + i * d, old_rows + i * d, d * sizeof(double)) != 0;
      });
  Array<uint32_t>& which = rows.some;
  for (std::size_t i = 0; i < n; ++i)
    if (row_changed[i]) which.push_back(static_cast<uint32_t>(i));
  const std::size_t m = which.size();
  if (m > n / 2) {
    rows = RowSet{n, true, {}};
    return compute_keys_of(ix, coords, d, 0, n);
  }

  Array<double> gathered(m * d);
  for (std::size_t k = 0; k < m; ++k)
    std::memcpy(gathered.data() + k * d, coords + which[k] * d, d * sizeof(double));
  const Array<int64_t> part = compute_keys_of(ix, gathered.data(), d, 0, m);
  Array<int64_t> keys(L * n);
  parallel::for_each(L, [&](std::size_t t) {
    int64_t* run = keys.data() + t * n;
    std::memcpy(run, ix.cand_keys.data() + t * n, n * sizeof(int64_t));
    for (std::size_t k = 0; k < m; ++k) run[which[k]] = part[t * m + k];
  });
  return keys;
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
  RowSet rows{n, false, {}};
  Array<int64_t> new_keys = refreshed_keys(ix, coords.data(), n, rows);
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
          refresh_table(s, r, rows, n, base, space);
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
