#include "index/write/refresh_table.hpp"

#include <algorithm>
#include <cstring>

#include "index/tiers/sort_tier.hpp"

namespace plovik {

namespace {

// Stable counting sort by key of the moved entries, which arrive in
// ascending id order: the result is in (key, id) order. False (and nothing
// sorted) when a key lies outside [0, space).
bool counting_sort(RefreshScratch& s, int64_t space) {
  const Entry* moved = s.moved.data();
  s.sorted.resize(s.moved.size());
  return counting_sort_by_key(
      s.moved.size(), space, [moved](std::size_t i) { return moved[i].first; },
      [moved](std::size_t i) { return moved[i]; }, s.sorted.data(), s.counts);
}

const Entry* sort_moved(RefreshScratch& s, int64_t space) {
  if (counting_sort_pays(space, s.moved.size()) && counting_sort(s, space)) return s.sorted.data();
  std::sort(s.moved.begin(), s.moved.end());
  return s.moved.data();
}

// The positions the moved entries held in the old run, ascending: each is
// looked for among the entries of its old key. False when those runs of
// equal keys hold more than `budget` entries in all; a walk over the whole
// table is cheaper then.
bool find_old_positions(RefreshScratch& s, const TableRuns& r, std::size_t n, std::size_t budget) {
  s.by_old.clear();
  for (const Entry& e : s.moved)
    s.by_old.emplace_back(r.old_keys[static_cast<std::size_t>(e.second)], e.second);
  std::sort(s.by_old.begin(), s.by_old.end());
  s.gone.clear();
  const int64_t* keys = r.sorted_keys;
  std::size_t lo = 0, scanned = 0;
  for (const auto& [key, id] : s.by_old) {
    lo = static_cast<std::size_t>(std::lower_bound(keys + lo, keys + n, key) - keys);
    const std::size_t end = std::min(n, lo + (budget - scanned));
    std::size_t j = lo;
    while (j < end && r.sorted_ids[j] != static_cast<uint64_t>(id)) ++j;
    if (j == end) return false;
    scanned += j - lo + 1;
    s.gone.push_back(j);
  }
  std::sort(s.gone.begin(), s.gone.end());
  return true;
}

inline void put(const TableRuns& r, std::size_t& o, int64_t key, int64_t id) {
  r.out_keys[o] = key;
  r.out_ids[o] = static_cast<uint32_t>(id);
  ++o;
}

// Few moved entries: the kept entries are copied in whole stretches between
// the positions where a moved entry left or enters. A moved entry enters before
// the first old entry whose key is not below its own, so ahead of kept
// entries with an equal key.
void splice(const TableRuns& r, const Entry* moved, const Array<std::size_t>& gone, std::size_t n) {
  const std::size_t m = gone.size();
  std::size_t j = 0, o = 0, a = 0, g = 0, at = 0;
  bool located = false;  // `at` holds moved[a]'s entry point
  auto copy_to = [&](std::size_t end) {
    std::memcpy(r.out_keys + o, r.sorted_keys + j, (end - j) * sizeof(int64_t));
    std::memcpy(r.out_ids + o, r.sorted_ids + j, (end - j) * sizeof(uint32_t));
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
void walk(RefreshScratch& s, const TableRuns& r, const Entry* moved, std::size_t n) {
  const std::size_t m = s.moved.size();
  s.is_moved.assign(r.points, 0);
  for (std::size_t a = 0; a < m; ++a) s.is_moved[static_cast<std::size_t>(moved[a].second)] = 1;
  std::size_t a = 0, o = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const int64_t id = r.sorted_ids[j];
    if (s.is_moved[static_cast<std::size_t>(id)]) continue;
    const int64_t key = r.sorted_keys[j];
    for (; a < m && moved[a].first <= key; ++a) put(r, o, moved[a].first, moved[a].second);
    put(r, o, key, id);
  }
  for (; a < m; ++a) put(r, o, moved[a].first, moved[a].second);
}

}  // namespace

void refresh_table(RefreshScratch& s, const TableRuns& r, int64_t space) {
  const std::size_t n = r.entries;
  const Entry* moved = sort_moved(s, space);
  // Copies of whole stretches pay while the stretches stay long.
  if (s.moved.size() <= n / 16 && find_old_positions(s, r, n, n / 8))
    splice(r, moved, s.gone, n);
  else
    walk(s, r, moved, n);
}

bool shift_offsets(RefreshScratch& s, const TableRuns& r, const uint32_t* old_dir,
                   uint32_t* out_dir, std::size_t stride) {
  // Entry c counts the keys below c: a key k counts in entries k + 1 onward.
  const int64_t top = static_cast<int64_t>(stride) - 1;
  s.delta.assign(stride, 0);
  for (const Entry& e : s.moved) {
    const int64_t before = r.old_keys[static_cast<std::size_t>(e.second)];
    const int64_t after = e.first;
    if (before < 0 || before >= top || after < 0 || after >= top) return false;
    --s.delta[static_cast<std::size_t>(before) + 1];
    ++s.delta[static_cast<std::size_t>(after) + 1];
  }
  int64_t shift = 0;
  for (std::size_t c = 0; c < stride; ++c) {
    shift += s.delta[c];
    out_dir[c] = static_cast<uint32_t>(static_cast<int64_t>(old_dir[c]) + shift);
  }
  return true;
}

namespace {

// The moves of the m changed rows, whose keys before and after are
// before(k) and after(k).
template <class Before, class After>
DenseMoves moves_of(RefreshScratch& s, const DenseTable& r, const uint32_t* rows, Before before,
                    After after, std::size_t m, std::size_t n, std::size_t stride) {
  const uint64_t space = stride - 1;
  s.delta.assign(stride, 0);
  s.enter.assign(stride, 0);
  // At most m entries move: written through plain pointers, the arrays cut
  // to length after.
  s.moved_rows.resize(m);
  s.moved_keys.resize(m);
  s.moved_was.resize(std::min(m, n / 16 + 1));
  uint32_t* out_rows = s.moved_rows.data();
  uint32_t* out_keys = s.moved_keys.data();
  uint32_t* out_was = s.moved_was.data();
  int64_t* delta = s.delta.data();
  uint32_t* enter = s.enter.data();
  const std::size_t few = s.moved_was.size();
  // Every candidate in order: its flag is written as it goes.
  uint8_t* flags = nullptr;
  if (rows == nullptr) {
    s.is_moved.resize(n);
    flags = s.is_moved.data();
  }
  std::size_t moved = 0;
  for (std::size_t j = 0; j < m; ++j) {
    const auto was = static_cast<uint64_t>(before(j)), now = static_cast<uint64_t>(after(j));
    if (flags != nullptr) flags[j] = was != now;
    if (was == now) continue;
    if (was >= space || now >= space) return {};
    out_rows[moved] = rows != nullptr ? rows[j] : static_cast<uint32_t>(j);
    out_keys[moved] = static_cast<uint32_t>(now);
    if (moved < few) out_was[moved] = static_cast<uint32_t>(was);
    ++moved;
    --delta[was + 1];
    ++delta[now + 1];
    ++enter[now + 1];
  }
  s.moved_rows.resize(moved);
  s.moved_keys.resize(moved);
  // Where the moved entries were, when few enough moved for a splice: each
  // is looked for in its old bucket. Past n / 8 entries searched in all, a
  // walk over the table is cheaper.
  s.gone.clear();
  if (moved > n / 16) return {true, false, flags != nullptr};
  std::size_t budget = n / 8;
  for (std::size_t a = 0; a < moved; ++a) {
    const uint32_t row = out_rows[a];
    std::size_t j = r.dir[out_was[a]];
    const std::size_t begin = j, end = r.dir[out_was[a] + 1];
    while (j < end && r.ids[j] != row) ++j;
    // An entry missing from its old bucket would mean keys the tables do
    // not hold; the walk does not need the positions.
    if (j == end || j - begin >= budget) return {true, false, flags != nullptr};
    budget -= j - begin;
    s.gone.push_back(j);
  }
  std::sort(s.gone.begin(), s.gone.end());
  return {true, true, flags != nullptr};
}

}  // namespace

DenseMoves moves_of_all(RefreshScratch& s, const DenseTable& r, const int64_t* new_keys,
                        std::size_t n, std::size_t stride) {
  // Each candidate's old key, from its bucket (keys below stride fit 32
  // bits), then one pass in candidate order.
  s.old_key32.resize(n);
  uint32_t* old = s.old_key32.data();
  for (std::size_t c = 0; c + 1 < stride; ++c)
    for (std::size_t j = r.dir[c], end = r.dir[c + 1]; j < end; ++j)
      old[r.ids[j]] = static_cast<uint32_t>(c);
  return moves_of(
      s, r, nullptr, [old](std::size_t i) { return static_cast<int64_t>(old[i]); },
      [new_keys](std::size_t i) { return new_keys[i]; }, n, n, stride);
}

DenseMoves moves_of_rows(RefreshScratch& s, const DenseTable& r, const uint32_t* rows,
                         const int64_t* before, const int64_t* after, std::size_t m, std::size_t n,
                         std::size_t stride) {
  return moves_of(
      s, r, rows, [before](std::size_t j) { return before[j]; },
      [after](std::size_t j) { return after[j]; }, m, n, stride);
}

void refresh_dense(RefreshScratch& s, const DenseTable& r, DenseMoves found, std::size_t n,
                   std::size_t stride) {
  const std::size_t space = stride - 1, m = s.moved_rows.size();
  int64_t shift = 0;
  for (std::size_t c = 0; c < stride; ++c) {
    shift += s.delta[c];
    r.out_dir[c] = static_cast<uint32_t>(static_cast<int64_t>(r.dir[c]) + shift);
  }
  // The moved ids by new key, in id order within a key (they come in id
  // order): a counting sort whose counts were taken as they were found.
  // enter[c] then ends key c's moved entries.
  uint32_t* enter = s.enter.data();
  for (std::size_t c = 0; c < space; ++c) enter[c + 1] += enter[c];
  s.placed.resize(m);
  uint32_t* placed = s.placed.data();
  const uint32_t* keys = s.moved_keys.data();
  // The places land all over `placed`: the line of a key's next place is
  // fetched a few entries ahead.
  constexpr std::size_t ahead = 16;
  for (std::size_t a = 0; a < m; ++a) {
    if (a + ahead < m) __builtin_prefetch(placed + enter[keys[a + ahead]], 1);
    placed[enter[keys[a]]++] = s.moved_rows[a];
  }
  std::size_t o = 0;
  if (found.located && m <= n / 16) {
    // Few moved entries: the kept ids are copied in whole stretches between
    // the places where a moved entry left or enters; a moved entry enters
    // at the start of its key's old bucket, ahead of the kept entries.
    std::size_t j = 0, a = 0, g = 0, c = 0;
    auto copy_to = [&](std::size_t end) {
      std::memcpy(r.out_ids + o, r.ids + j, (end - j) * sizeof(uint32_t));
      o += end - j;
    };
    while (a < m || g < m) {
      if (a < m)
        while (enter[c] <= a) ++c;  // placed[a]'s key
      const std::size_t at = a < m ? r.dir[c] : n;
      if (a < m && (g == m || at <= s.gone[g])) {
        copy_to(at);
        j = at;
        r.out_ids[o++] = placed[a++];
      } else {
        copy_to(s.gone[g]);
        j = s.gone[g] + 1;
        ++g;
      }
    }
    copy_to(n);
    return;
  }
  if (!found.flagged) {
    s.is_moved.assign(n, 0);
    for (std::size_t a = 0; a < m; ++a) s.is_moved[placed[a]] = 1;
  }
  // Bucket by bucket: the moved entries of the key, then its kept ones.
  std::size_t a = 0;
  for (std::size_t c = 0; c < space; ++c) {
    for (const std::size_t end = enter[c]; a < end; ++a) r.out_ids[o++] = placed[a];
    for (std::size_t j = r.dir[c], end = r.dir[c + 1]; j < end; ++j) {
      const uint32_t id = r.ids[j];
      if (!s.is_moved[id]) r.out_ids[o++] = id;
    }
  }
}

}  // namespace plovik
