#include "index/tuning/sample_hash.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>
#include <vector>

#include "index/errors.hpp"
#include "index/hash/keys.hpp"
#include "index/hash/probes.hpp"
#include "index/tiers/sort_tier.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Scratch of one task: the K codes, fractions and margins of a table.
struct ProbeScratch {
  Array<int64_t> codes;
  Array<double> fracs;
  Array<double> margins;
  explicit ProbeScratch(std::size_t components)
      : codes(components), fracs(components), margins(components) {}
};

// Writes the L x (1 + flips) probe keys of `row` to out.
void row_probes(const Index& ix, const double* row, std::size_t flips, ProbeScratch& s,
                int64_t* out) {
  for (std::size_t t = 0; t < ix.l; ++t) {
    int64_t* dst = out + t * (flips + 1);
    table_probes(ix, flips, row, t, s.codes.data(), s.fracs.data(), s.margins.data(),
                 [&](uint64_t key) { *dst++ = static_cast<int64_t>(key); });
  }
}

constexpr std::size_t rows_per_task = 16;

// Queries per task of neighbour_hits when it runs on several threads: how
// many tables a query hashes depends on when its neighbours are all found,
// so small tasks keep the threads evenly loaded. On one thread, one task
// (the neighbours' keys of all queries at once).
constexpr std::size_t hit_rows_per_task = 4;
// Tables whose neighbour keys neighbour_hits computes at once.
constexpr std::size_t hit_tables_per_block = 8;

// Below this many coordinates hashed (rows times tables times components)
// a call runs on its own thread: the tuning makes many such calls of a
// fraction of a millisecond each, where waking the pool's workers (and
// waiting for one the system has not scheduled yet) would cost more than
// the work. Results never depend on it.
constexpr std::size_t one_thread_below = std::size_t{1} << 16;

// a * b * c, saturating (a measure of work, not a size).
std::size_t work_of(std::size_t a, std::size_t b, std::size_t c) {
  const std::size_t big = std::numeric_limits<std::size_t>::max();
  if (a == 0 || b == 0 || c == 0) return 0;
  if (a > big / b || a * b > big / c) return big;
  return a * b * c;
}

// Whether hashing `rows` rows in `tables` tables of `components` each
// runs on its caller's thread alone (one_thread_below).
bool hashed_alone(std::size_t rows, std::size_t tables, std::size_t components) {
  return work_of(rows, tables, components) < one_thread_below;
}

// While alive, the jobs of this thread run on the thread alone when
// `alone` (hashed_alone).
class SmallWork {
 public:
  explicit SmallWork(bool alone)
      : small_(alone), saved_(small_ ? parallel::set_thread_limit(1) : 0) {}
  ~SmallWork() {
    if (small_) parallel::set_thread_limit(saved_);
  }
  SmallWork(const SmallWork&) = delete;
  SmallWork& operator=(const SmallWork&) = delete;

 private:
  bool small_;
  std::size_t saved_;
};

// Key spaces up to this size are numbered by a direct array in
// probed_buckets (a quarter of a megabyte of counters at most).
constexpr int64_t direct_space = int64_t{1} << 16;

// The points of one table in the buckets some query probes: per distinct
// probed key (numbered in the order the probes first name it), the start of
// its points in `ids`, then their number; the points' ids, ascending
// within a key.
struct ProbedBuckets {
  std::vector<uint32_t> starts;
  std::vector<uint32_t> ids;
};

// What probed_buckets reuses from one table to the next on a thread: the
// numbers of the probed keys (all zero between tables), the keys of the
// hash's slots and the numbers of the probes and points.
struct BucketScratch {
  std::vector<uint32_t> number;
  std::vector<int64_t> key_of;
  std::vector<uint32_t> probe_number;
  std::vector<uint32_t> point_number;
  std::vector<uint32_t> next;
};

// The probed buckets of table t, found through a small open-addressing hash
// of the probed keys, or in a small key space through an array of one entry
// per key (no sort of the points either way); writes each probe's bucket to
// begin and size, (q * L + t) * P1 + j for probe j of query q, a size of 0
// for a key the query already probed in this table.
ProbedBuckets probed_buckets(const Array<int64_t>& pk, std::size_t m, std::size_t L, std::size_t P1,
                             std::size_t t, const int64_t* keys, std::size_t n, int64_t space,
                             uint32_t* begin, uint32_t* size, BucketScratch& s) {
  std::size_t cap = 16;
  while (cap < 2 * m * P1) cap *= 2;
  const int shift = 64 - std::countr_zero(cap);
  // The array serves when every probed key lies in [0, space) (a point's
  // key outside it then matches none) and the space is at most eight times
  // the keys numbered here: only the probed keys' entries are cleared after
  // a table, the array is zeroed once per thread.
  const auto numbered = static_cast<int64_t>(8 * (n + m * P1));
  bool direct = space > 0 && space <= std::min(direct_space, std::max<int64_t>(numbered, 1024));
  for (std::size_t q = 0; direct && q < m; ++q)
    for (std::size_t j = 0; j < P1; ++j) {
      const int64_t key = pk[(q * L + t) * P1 + j];
      direct = direct && key >= 0 && key < space;
    }
  const std::size_t slots = direct ? static_cast<std::size_t>(space) : cap;
  if (s.number.size() < slots) s.number.resize(slots, 0);  // key number + 1
  if (!direct && s.key_of.size() < cap) s.key_of.resize(cap);
  uint32_t* number = s.number.data();
  int64_t* key_of = s.key_of.data();
  uint32_t distinct = 0;
  // The number of `key`, given one when `add` and it has none (else 0).
  auto find = [&](int64_t key, bool add) -> uint32_t {
    if (direct) {
      if (key < 0 || key >= space) return 0;
      uint32_t& slot = number[static_cast<std::size_t>(key)];
      if (slot == 0 && add) slot = ++distinct;
      return slot;
    }
    std::size_t h =
        static_cast<std::size_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> shift);
    for (;; h = (h + 1) & (cap - 1)) {
      if (number[h] == 0) {
        if (!add) return 0;
        key_of[h] = key;
        return number[h] = ++distinct;
      }
      if (key_of[h] == key) return number[h];
    }
  };
  s.probe_number.resize(m * P1);
  for (std::size_t q = 0; q < m; ++q)
    for (std::size_t j = 0; j < P1; ++j)
      s.probe_number[q * P1 + j] = find(pk[(q * L + t) * P1 + j], true);

  ProbedBuckets out;
  s.point_number.resize(n);
  out.starts.assign(distinct + 2, 0);
  for (std::size_t i = 0; i < n; ++i) {
    s.point_number[i] = find(keys[i], false);
    if (s.point_number[i] != 0) ++out.starts[s.point_number[i] + 1];
  }
  // The numbers are cleared for the next table.
  if (direct) {
    for (std::size_t q = 0; q < m; ++q)
      for (std::size_t j = 0; j < P1; ++j)
        number[static_cast<std::size_t>(pk[(q * L + t) * P1 + j])] = 0;
  } else {
    std::fill(number, number + cap, 0);
  }
  for (std::size_t c = 1; c <= distinct; ++c) out.starts[c + 1] += out.starts[c];
  out.ids.resize(out.starts.back());
  s.next.assign(out.starts.begin(), out.starts.end() - 1);
  for (std::size_t i = 0; i < n; ++i)
    if (s.point_number[i] != 0) out.ids[s.next[s.point_number[i]]++] = static_cast<uint32_t>(i);

  for (std::size_t q = 0; q < m; ++q) {
    const uint32_t* numbers = s.probe_number.data() + q * P1;
    for (std::size_t j = 0; j < P1; ++j) {
      const std::size_t at = (q * L + t) * P1 + j;
      const bool again = std::find(numbers, numbers + j, numbers[j]) != numbers + j;
      begin[at] = out.starts[numbers[j]];
      size[at] = again ? 0 : out.starts[numbers[j] + 1] - out.starts[numbers[j]];
    }
  }
  return out;
}

}  // namespace

bool candidate_counts_alone(const Index& ix, std::size_t points, std::size_t queries,
                            std::size_t flips, std::size_t counted_tables) {
  flips = std::min(flips, ix.k);
  return hashed_alone(points + queries * (flips + 1), ix.l - std::min(counted_tables, ix.l), ix.k);
}

bool neighbour_hits_alone(const Index& ix, std::size_t queries, std::size_t pairs,
                          std::size_t flips) {
  flips = std::min(flips, ix.k);
  return hashed_alone(pairs + queries * (flips + 1), ix.l, ix.k);
}

Array<int64_t> probe_keys(const Index& ix, const SampleRows& rows, std::size_t flips) {
  flips = std::min(flips, ix.k);
  const std::size_t width = checked_mul(ix.l, flips + 1);
  Array<int64_t> out(checked_mul(rows.m, width));
  const SmallWork small(hashed_alone(rows.m, width, ix.k));
  parallel::for_chunks(
      rows.m, rows_per_task, [&] { return ProbeScratch(ix.k); },
      [&](ProbeScratch& s, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
          row_probes(ix, rows.row(i), flips, s, out.data() + i * width);
      });
  return out;
}

CandidateCounts candidate_counts(const Index& ix, const SampleRows& points,
                                 const SampleRows& queries, std::size_t flips, double bound) {
  flips = std::min(flips, ix.k);
  const CandidateCounts none{Array<int64_t>(0), Array<int64_t>(0)};
  Array<uint8_t> best(checked_mul(queries.m, points.m), static_cast<uint8_t>(flips + 1));
  return candidate_counts_from(ix, points, queries, flips, bound, none, best);
}

CandidateCounts candidate_counts_from(const Index& ix, const SampleRows& points,
                                      const SampleRows& queries, std::size_t flips, double bound,
                                      const CandidateCounts& prior, std::span<uint8_t> best) {
  flips = std::min(flips, ix.k);
  const std::size_t L = ix.l, P1 = flips + 1, n = points.m, m = queries.m;
  if (n >= max_tier_points)
    throw InvalidArgument("the counted sample must hold fewer than 2**32 points");
  const std::size_t start = prior.entries.size() / P1;
  if (prior.entries.size() != start * P1 || prior.distinct.size() != start * P1 || start > L)
    throw InvalidArgument("the earlier counts must be (1 + flips) x l for l <= L");
  uint8_t highest = 0;  // a loop without an early exit: it vectorises
  for (const uint8_t v : best) highest = std::max(highest, v);
  if (best.size() != checked_mul(m, n) || highest > P1)
    throw InvalidArgument("best must hold a probe index in [0, 1 + flips] per query and point");
  const std::size_t Ln = L - start;  // the tables counted here: start .. L - 1
  const SmallWork small(candidate_counts_alone(ix, n, m, flips, start));

  // Only the buckets the queries probe matter: per table, the points whose
  // key is one of the probed keys, grouped by key (ids ascending within a
  // key), found through a small hash of the probed keys. Neither a sort of
  // every point nor a directory of the key space is needed.
  const Array<int64_t> keys = compute_keys(ix, points.values.data(), points.d, 0, n, {start, Ln});
  // Per table, one task: the probe keys of every query in it, then its
  // probed buckets.
  Array<int64_t> pk(checked_mul(m, checked_mul(Ln, P1)));
  const int64_t space = key_space(ix);
  Array<uint32_t> begin(pk.size()), size(pk.size());
  std::vector<ProbedBuckets> tables(Ln);
  struct TableScratch {
    ProbeScratch probe;
    BucketScratch buckets;
  };
  parallel::for_tasks(
      Ln, [&] { return TableScratch{ProbeScratch(ix.k), {}}; },
      [&](TableScratch& s, std::size_t t) {
        for (std::size_t q = 0; q < m; ++q) {
          int64_t* dst = pk.data() + (q * Ln + t) * P1;
          table_probes(ix, flips, queries.row(q), start + t, s.probe.codes.data(),
                       s.probe.fracs.data(), s.probe.margins.data(),
                       [&](uint64_t key) { *dst++ = static_cast<int64_t>(key); });
        }
        tables[t] = probed_buckets(pk, m, Ln, P1, t, keys.data() + t * n, n, space, begin.data(),
                                   size.data(), s.buckets);
      });

  // entries[p][l - 1]: over the first l tables and probes 0 .. p; the
  // earlier tables' as they were counted.
  CandidateCounts out{Array<int64_t>(P1 * L, 0), Array<int64_t>(P1 * L, 0)};
  for (std::size_t p = 0; p < P1; ++p)
    for (std::size_t t = 0; t < start; ++t) {
      out.entries[p * L + t] = prior.entries[p * start + t];
      out.distinct[p * L + t] = prior.distinct[p * start + t];
    }
  Array<int64_t> per(P1 * Ln, 0);  // [j][t]: gathered by probe j of table start + t
  for (std::size_t q = 0; q < m; ++q)
    for (std::size_t t = 0; t < Ln; ++t)
      for (std::size_t j = 0; j < P1; ++j) per[j * Ln + t] += size[(q * Ln + t) * P1 + j];
  for (std::size_t p = 0; p < P1; ++p) {
    int64_t sum = start > 0 ? prior.entries[p * start + start - 1] : 0;
    for (std::size_t t = 0; t < Ln; ++t) {
      for (std::size_t j = 0; j <= p; ++j) sum += per[j * Ln + t];
      out.entries[p * L + start + t] = sum;
    }
  }
  // Entries grow with p and l, so a probe j of table t past the bound
  // serves only settings past it: its ids are not expanded.
  auto over = [&](std::size_t p, std::size_t t) {
    return static_cast<double>(out.entries[p * L + t]) > bound;
  };

  // Per query, first[p][t]: its candidates whose first table with a probe
  // <= p is start + t. best[q * n + i]: the lowest probe index that has
  // gathered point i for query q so far (1 + flips: none), carried over
  // from the earlier tables.
  Array<int64_t> first(checked_mul(m, P1 * Ln), 0);
  struct NoState {};
  parallel::for_chunks(
      m, rows_per_task, [] { return NoState{}; },
      [&](NoState&, std::size_t from, std::size_t to) {
        for (std::size_t q = from; q < to; ++q) {
          int64_t* mine = first.data() + q * P1 * Ln;
          uint8_t* lowest = best.data() + q * n;
          for (std::size_t t = 0; t < Ln; ++t)
            for (std::size_t j = 0; j < P1; ++j) {
              const std::size_t at = (q * Ln + t) * P1 + j;
              if (size[at] == 0 || over(j, start + t)) continue;
              const uint32_t* ids = tables[t].ids.data() + begin[at];
              for (uint32_t e = 0; e < size[at]; ++e) {
                const uint32_t id = ids[e];
                for (std::size_t p = j; p < lowest[id]; ++p) ++mine[p * Ln + t];
                if (j < lowest[id]) lowest[id] = static_cast<uint8_t>(j);
              }
            }
        }
      });
  // distinct[p][l - 1]: the earlier tables' count (of a setting past the
  // bound, -1: so are those after it) and the first candidates since.
  for (std::size_t q = 0; q < m; ++q)
    for (std::size_t p = 0; p < P1; ++p)
      for (std::size_t t = 0; t < Ln; ++t)
        out.distinct[p * L + start + t] += first[q * P1 * Ln + p * Ln + t];
  for (std::size_t p = 0; p < P1; ++p)
    for (std::size_t t = std::max<std::size_t>(start, 1); t < L; ++t)
      out.distinct[p * L + t] += out.distinct[p * L + t - 1];
  for (std::size_t p = 0; p < P1; ++p)
    for (std::size_t t = start; t < L; ++t)
      if (over(p, t)) out.distinct[p * L + t] = -1;
  return out;
}

Array<int64_t> neighbour_hits(const Index& ix, const SampleRows& queries,
                              const SampleRows& neighbours, std::span<const int64_t> owner,
                              std::size_t flips) {
  flips = std::min(flips, ix.k);
  Array<int64_t> first(checked_mul(neighbours.m, flips + 1), -1);
  const Array<int64_t> start(queries.m, 0);
  return neighbour_hits_from(ix, queries, neighbours, owner, flips, start, first);
}

Array<int64_t> neighbour_hits_from(const Index& ix, const SampleRows& queries,
                                   const SampleRows& neighbours, std::span<const int64_t> owner,
                                   std::size_t flips, std::span<const int64_t> start,
                                   std::span<int64_t> first) {
  flips = std::min(flips, ix.k);
  const std::size_t L = ix.l, P1 = flips + 1, m = queries.m, pairs = neighbours.m;
  if (start.size() != m) throw InvalidArgument("start must hold one table count per query");
  if (first.size() != checked_mul(pairs, P1))
    throw InvalidArgument("first must hold 1 + flips tables per neighbour");
  // The pairs of query q: [offsets[q], offsets[q + 1]).
  Array<std::size_t> offsets(m + 1, 0);
  for (std::size_t i = 0; i < owner.size(); ++i) {
    const int64_t q = owner[i];
    if (q < 0 || static_cast<std::size_t>(q) >= m || (i > 0 && q < owner[i - 1]))
      throw InvalidArgument("owner must hold ascending query rows in [0, m)");
    ++offsets[static_cast<std::size_t>(q) + 1];
  }
  for (std::size_t q = 0; q < m; ++q) offsets[q + 1] += offsets[q];
  for (std::size_t q = 0; q < m; ++q) {
    if (start[q] < 0 || static_cast<uint64_t>(start[q]) > L)
      throw InvalidArgument("start must lie in [0, L]");
    for (std::size_t i = offsets[q] * P1; i < offsets[q + 1] * P1; ++i)
      if (first[i] < -1 || first[i] >= start[q])
        throw InvalidArgument("first must hold -1 or a table below its query's start");
  }

  const SmallWork small(neighbour_hits_alone(ix, m, pairs, flips));
  Array<int64_t> out(checked_mul(m, P1 * L), 0);
  struct Scratch {
    ProbeScratch probe;
    Array<int64_t> keys;         // the 1 + flips probe keys of one table
    Array<std::size_t> pending;  // per query of the task, its pairs not yet found by a base probe
    Array<std::size_t> left;     // per query of the task, how many
  };
  const std::size_t chunk =
      parallel::thread_count() > 1 ? hit_rows_per_task : std::max<std::size_t>(m, 1);
  parallel::for_chunks(
      m, chunk,
      [&] {
        return Scratch{ProbeScratch(ix.k), Array<int64_t>(P1), Array<std::size_t>(0),
                       Array<std::size_t>(chunk)};
      },
      [&](Scratch& s, std::size_t from, std::size_t to) {
        // A pair its query's base probe has found is found with every probe
        // count: later tables change nothing for it, and once no pair of a
        // query is left its later tables are not hashed. The neighbours'
        // keys are computed a block of tables at a time (the vectorised
        // path), for the pairs of the task.
        const std::size_t lo = offsets[from], hi = offsets[to];
        if (s.pending.size() < hi - lo) s.pending = Array<std::size_t>(hi - lo);
        std::size_t t0 = L;
        for (std::size_t q = from; q < to; ++q) {
          std::size_t& left = s.left[q - from];
          left = 0;
          for (std::size_t i = offsets[q]; i < offsets[q + 1]; ++i)
            if (first[i * P1] < 0) s.pending[offsets[q] - lo + left++] = i;
          if (left > 0) t0 = std::min(t0, static_cast<std::size_t>(start[q]));
        }
        for (std::size_t block = t0; block < L; block += hit_tables_per_block) {
          const std::size_t count = std::min(hit_tables_per_block, L - block);
          const Array<int64_t> keys =
              compute_keys(ix, neighbours.values.data(), neighbours.d, lo, hi - lo, {block, count});
          bool any = false;
          for (std::size_t q = from; q < to; ++q) {
            std::size_t& left = s.left[q - from];
            std::size_t* pending = s.pending.data() + (offsets[q] - lo);
            const std::size_t begin = std::max(block, static_cast<std::size_t>(start[q]));
            for (std::size_t t = begin; t < block + count && left > 0; ++t) {
              int64_t* dst = s.keys.data();
              table_probes(ix, flips, queries.row(q), t, s.probe.codes.data(), s.probe.fracs.data(),
                           s.probe.margins.data(),
                           [&](uint64_t key) { *dst++ = static_cast<int64_t>(key); });
              const int64_t* probes = s.keys.data();
              const int64_t* table_keys = keys.data() + (t - block) * (hi - lo);
              std::size_t kept = 0;
              for (std::size_t e = 0; e < left; ++e) {
                const std::size_t i = pending[e];
                const int64_t key = table_keys[i - lo];
                const auto j =
                    static_cast<std::size_t>(std::find(probes, probes + P1, key) - probes);
                int64_t* mine = first.data() + i * P1;
                for (std::size_t p = j; p < P1 && mine[p] < 0; ++p)
                  mine[p] = static_cast<int64_t>(t);
                if (j != 0) pending[kept++] = i;
              }
              left = kept;
            }
            any = any || left > 0;
          }
          if (!any) break;
        }
        for (std::size_t q = from; q < to; ++q) {
          int64_t* hits = out.data() + q * P1 * L;
          for (std::size_t i = offsets[q]; i < offsets[q + 1]; ++i)
            for (std::size_t p = 0; p < P1; ++p)
              if (first[i * P1 + p] >= 0)
                ++hits[p * L + static_cast<std::size_t>(first[i * P1 + p])];
          for (std::size_t p = 0; p < P1; ++p)
            for (std::size_t t = 1; t < L; ++t) hits[p * L + t] += hits[p * L + t - 1];
        }
      });
  return out;
}

}  // namespace plovik
