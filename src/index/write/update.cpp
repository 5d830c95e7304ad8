#include "index/write/update.hpp"

#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/errors.hpp"
#include "index/hash/keys.hpp"
#include "index/tiers/directory.hpp"
#include "index/tiers/ranges.hpp"
#include "index/tiers/sort_tier.hpp"
#include "index/write/build.hpp"
#include "index/write/refresh_table.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// The rows an update changes: a row whose values are bitwise those it had
// keeps its keys and its copy, so when few rows changed only theirs are
// hashed (their old values too: the index keeps no key per entry).
struct ChangedRows {
  bool all = false;
  Array<uint32_t> rows;  // unless all: the changed rows, ascending
  Array<double> now;     // unless all: their new values, rows.size() x d
  Array<double> before;  // unless all: their old values
};

ChangedRows changed_rows(const Index& ix, const double* coords, std::size_t n) {
  const std::size_t d = ix.d;
  const double* old_rows = ix.cand_f64.data();
  Array<uint8_t> row_changed(n);
  struct NoState {};
  parallel::for_chunks(
      n, std::size_t{1} << 12, [] { return NoState{}; },
      [&](NoState&, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
          row_changed[i] = std::memcmp(coords + i * d, old_rows + i * d, d * sizeof(double)) != 0;
      });
  ChangedRows out;
  for (std::size_t i = 0; i < n; ++i)
    if (row_changed[i]) out.rows.push_back(static_cast<uint32_t>(i));
  const std::size_t m = out.rows.size();
  if (m > n / 2) {
    out.all = true;
    out.rows = Array<uint32_t>();
    return out;
  }
  for (auto [rows, gathered] : {std::pair{coords, &out.now}, std::pair{old_rows, &out.before}}) {
    gathered->resize(m * d);
    for (std::size_t j = 0; j < m; ++j)
      std::memcpy(gathered->data() + j * d, rows + out.rows[j] * d, d * sizeof(double));
  }
  return out;
}

// The keys of a span of tables: of every row, or of the changed rows
// before and after. Entry u * rows + i belongs to table tables.first + u.
struct NewKeys {
  TableSpan tables;
  Array<int64_t> keys;
  Array<int64_t> old;  // unless all rows changed
};

NewKeys new_keys_of(const Index& ix, const ChangedRows& changed, const double* coords,
                    std::size_t n, TableSpan tables) {
  NewKeys out{tables, {}, {}};
  if (changed.all) {
    out.keys = compute_keys(ix, coords, ix.d, 0, n, tables);
  } else {
    const std::size_t m = changed.rows.size();
    out.keys = compute_keys(ix, changed.now.data(), ix.d, 0, m, tables);
    out.old = compute_keys(ix, changed.before.data(), ix.d, 0, m, tables);
  }
  return out;
}

// The candidates of n whose entries the tables hold: all but the retired
// ones (candidate i is point base + i).
struct Entered {
  const RetiredSet* retired;  // null when every candidate has its entries
  uint64_t base;

  bool operator()(std::size_t i) const {
    return retired == nullptr || !retired->contains(base + i);
  }
};

// The entries of table t whose key changed, (new key, candidate) by
// ascending candidate. old_keys: the table's keys before, by candidate (of
// the candidates with entries only). A retired candidate has no entry to
// move: its rows change, its entries stay out of the tables.
void collect_moved(Array<Entry>& moved, const ChangedRows& changed, const NewKeys& nk,
                   const int64_t* old_keys, std::size_t t, std::size_t n, Entered entered) {
  moved.clear();
  const std::size_t u = t - nk.tables.first;
  if (changed.all) {
    const int64_t* run = nk.keys.data() + u * n;
    for (std::size_t i = 0; i < n; ++i)
      if (entered(i) && run[i] != old_keys[i]) moved.emplace_back(run[i], static_cast<int64_t>(i));
  } else {
    const std::size_t m = changed.rows.size();
    const int64_t* part = nk.keys.data() + u * m;
    for (std::size_t j = 0; j < m; ++j)
      if (entered(changed.rows[j]) && part[j] != old_keys[changed.rows[j]])
        moved.emplace_back(part[j], static_cast<int64_t>(changed.rows[j]));
  }
}

// The keys of table t before the refresh: in run order (expanded from the
// directory, old.n entries) and by candidate (n of them), where a refresh
// reads them: every entry's key put at its id when all rows are rehashed,
// else only the changed rows'. A retired candidate's key by candidate is
// left unset when all rows are rehashed (it has no entry to read it from).
void old_keys_of(RefreshScratch& s, const ChangedRows& changed, const NewKeys& nk,
                 const TierView& old, std::size_t t, std::size_t n) {
  s.old_run.resize(old.n);
  s.old_keys.resize(n);
  expand_table_keys(old, t, s.old_run.data());
  if (!changed.all) {
    const std::size_t m = changed.rows.size();
    const int64_t* part = nk.old.data() + (t - nk.tables.first) * m;
    for (std::size_t j = 0; j < m; ++j) s.old_keys[changed.rows[j]] = part[j];
    return;
  }
  const uint32_t* ids = old.table_ids(t);
  for (std::size_t j = 0; j < old.n; ++j) s.old_keys[ids[j]] = s.old_run[j];
}

// Table t of a tier with a dense directory whose every candidate has its
// entries (n of them), refreshed from the directory without per-entry keys: the new run and
// directory into `runs` (copies of the old ones where no key moved; `moved` is set otherwise).
// False when a key lies outside the key space: the general refresh then handles the table.
bool refresh_dense_table(RefreshScratch& s, const ChangedRows& changed, const NewKeys& nk,
                         const TierView& old, Tier& runs, std::size_t t, std::size_t n,
                         uint8_t& moved) {
  const std::size_t stride = old.stride, u = t - nk.tables.first;
  const DenseTable r{old.table_ids(t), old.dir + t * stride, runs.ids.data() + t * n,
                     runs.offsets.data() + t * stride};
  DenseMoves found;
  if (changed.all) {
    found = moves_of_all(s, r, nk.keys.data() + u * n, n, stride);
  } else {
    const std::size_t m = changed.rows.size();
    found = moves_of_rows(s, r, changed.rows.data(), nk.old.data() + u * m, nk.keys.data() + u * m,
                          m, n, stride);
  }
  if (!found.ok) return false;
  if (s.moved_rows.empty()) {
    std::memcpy(r.out_ids, r.ids, n * sizeof(uint32_t));
    std::memcpy(r.out_dir, r.dir, stride * sizeof(uint32_t));
    return true;
  }
  moved = 1;
  refresh_dense(s, r, found, n, stride);
  return true;
}

// A table no key of which moved keeps its buckets.
void copy_buckets(const TierView& old, std::size_t t, TableBuckets& out) {
  const std::size_t nb = old.table_buckets(t);
  out.keys.assign(old.table_bucket_keys(t), old.table_bucket_keys(t) + nb);
  out.starts.assign(old.table_bucket_starts(t), old.table_bucket_starts(t) + nb + 1);
}

}  // namespace

void validate_update(const Index& ix, std::size_t count) {
  if (ix.d == 0) {
    if (count != 0) throw InvalidArgument("the index has not been built");
    return;
  }
  const std::size_t expected = ix.n_cand() * ix.d;
  if (count != expected)
    throw Panic("update expects " + std::to_string(expected) + " values, got " +
                std::to_string(count));
}

void update(Index& ix, Array<double> coords) {
  const std::size_t count = coords.size();
  validate_update(ix, count);
  const std::size_t n = ix.n_cand(), d = ix.d, L = ix.l, base = ix.n_static;
  if (d == 0 || n == 0) return;

  // Everything new is computed aside first; the record changes only at the
  // end, so a failure on the way (memory) leaves the index as it was.
  const ChangedRows changed = changed_rows(ix, coords.data(), n);
  // Single-precision copies of the rows that changed (of all rows when most
  // did): a row whose values are bitwise those it had keeps its copy.
  const std::size_t n_rows = changed.all ? n : changed.rows.size();
  Array<float> f32(checked_mul(n_rows, d));
  wrap_to_f32(changed.all ? coords.data() : changed.now.data(), f32.data(), n_rows * d);

  // The new tables: each table's ids (and directory) after the refresh, or
  // as they were where no key of the table moved. The new keys are
  // computed a quarter of the tables at a time, so that only those tables'
  // keys exist at once. Each table holds the e candidates not retired.
  const TierView old = cand_tier(ix);
  const std::size_t e = old.n;
  const Entered entered{e < n ? &ix.retired : nullptr, base};
  const std::size_t stride = old.dir != nullptr ? old.stride : 0;
  Tier runs;
  runs.entries = runs.ids_per_table = e;
  runs.ids.resize(checked_mul(L, e));
  runs.offsets.resize(checked_mul(L, stride));
  std::vector<TableBuckets> buckets(stride == 0 ? L : 0);
  Array<uint8_t> table_moved(L, 0);
  const int64_t space = key_space(ix);
  const std::size_t group = (L + 3) / 4;
  // Each thread's scratch serves it in every group's job (a job has at most
  // T threads).
  std::vector<RefreshScratch> scratch(parallel::thread_count());
  for (std::size_t first = 0; first < L && e != 0; first += group) {
    const NewKeys nk =
        new_keys_of(ix, changed, coords.data(), n, {first, std::min(group, L - first)});
    std::atomic<std::size_t> leased{0};
    parallel::for_tasks(
        nk.tables.count, [&] { return &scratch[leased++]; },
        [&](RefreshScratch* lease, std::size_t u) {
          RefreshScratch& s = *lease;
          parallel::check_interrupt();
          const std::size_t t = first + u;
          // The refresh through the directory alone needs every candidate's
          // entries (none retired); the general one below skips the others.
          if (stride != 0 && e == n &&
              refresh_dense_table(s, changed, nk, old, runs, t, n, table_moved[t]))
            return;
          old_keys_of(s, changed, nk, old, t, n);
          collect_moved(s.moved, changed, nk, s.old_keys.data(), t, n, entered);
          uint32_t* out_ids = runs.ids.data() + t * e;
          uint32_t* out_dir = stride != 0 ? runs.offsets.data() + t * stride : nullptr;
          if (s.moved.empty()) {
            std::memcpy(out_ids, old.table_ids(t), e * sizeof(uint32_t));
            if (out_dir != nullptr)
              std::memcpy(out_dir, old.dir + t * stride, stride * sizeof(uint32_t));
            else
              copy_buckets(old, t, buckets[t]);
            return;
          }
          table_moved[t] = 1;
          s.new_run.resize(e);
          const TableRuns r{s.old_keys.data(),
                            s.old_run.data(),
                            old.table_ids(t),
                            s.new_run.data(),
                            out_ids,
                            e,
                            n};
          if (out_dir != nullptr && !shift_offsets(s, r, old.dir + t * stride, out_dir, stride))
            out_dir = nullptr;  // rebuilt from the new run below
          refresh_table(s, r, space);
          if (stride != 0 && out_dir == nullptr)
            table_offsets(s.new_run.data(), e, runs.offsets.data() + t * stride, stride);
          if (stride == 0) buckets_of_run(s.new_run.data(), e, buckets[t]);
        });
  }
  bool any_changed = false;
  for (uint8_t moved : table_moved) any_changed |= moved != 0;
  if (any_changed) {
    if (stride == 0)
      join_buckets(runs, buckets);
    else if (!directory_covers(runs.offsets, stride, e))
      throw Panic("a key lies outside the key space");
  }

  // Install: copies into existing storage and moves only; unchanged rows
  // are left as they are. Nothing can fail or stop from here.
  parallel::NoInterrupts commit;
  if (changed.all) {
    std::memcpy(ix.cand_f64.data(), coords.data(), count * sizeof(double));
    std::memcpy(ix.coords_f32.data() + base * d, f32.data(), count * sizeof(float));
  } else {
    for (std::size_t j = 0; j < n_rows; ++j) {
      const std::size_t row = changed.rows[j];
      std::memcpy(ix.cand_f64.data() + row * d, coords.data() + row * d, d * sizeof(double));
      std::memcpy(ix.coords_f32.data() + (base + row) * d, f32.data() + j * d, d * sizeof(float));
    }
  }
  if (any_changed) ix.cand_tables = std::move(runs);
  // The kept arrays are bounded by what the index now holds.
  const IndexBytes held = index_bytes(ix);
  ix.reuse.set_index_bytes(held.total() - held.reuse);
}

}  // namespace plovik
