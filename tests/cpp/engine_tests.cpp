// Tests of the engine pieces that Python reaches only through whole calls,
// against references written out here. No framework: each test is a
// function, CHECK counts failures, the last line reads "N passed, N failed".
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "index/checksum/crc32c.hpp"
#include "index/cpu_features.hpp"
#include "index/errors.hpp"
#include "index/exact/exact.hpp"
#include "index/grid/grid.hpp"
#include "index/grid/kernel.hpp"
#include "index/grid/pairs.hpp"
#include "index/hash/keys.hpp"
#include "index/hash/keys_vectorised.hpp"
#include "index/memory/file_map.hpp"
#include "index/metric/metric.hpp"
#include "index/query/distance.hpp"
#include "index/query/topk.hpp"
#include "index/record.hpp"
#include "index/tiers/directory.hpp"
#include "index/tiers/merge.hpp"
#include "index/tiers/ranges.hpp"
#include "index/tiers/sort_tier.hpp"
#include "index/write/construct.hpp"
#include "parallel/pool.hpp"

namespace {

int failed_checks = 0;

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      ++failed_checks;                                                              \
      std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
    }                                                                               \
  } while (0)

using plovik::Array;
using plovik::Index;

// Whether the call throws an E.
template <class E = plovik::InvalidArgument, class F>
bool throws(F&& call) {
  try {
    call();
  } catch (const E&) {
    return true;
  }
  return false;
}

std::mt19937_64 rng(20240611);

// An index with random hash parameters: s in [0, d), u in [0, 1).
void make_index(Index& ix, int64_t b, std::size_t k, std::size_t l, std::size_t d) {
  Array<int64_t> s(k * l);
  Array<double> u(k * l);
  std::uniform_int_distribution<int64_t> coord(0, static_cast<int64_t>(d) - 1);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (auto& v : s) v = coord(rng);
  for (auto& v : u) v = unit(rng);
  plovik::construct(ix, b, k, l, 2, 1024, std::move(s), std::move(u));
}

// The stable sort of (key, id) pairs that every tier sort must equal, and
// the directory of a sorted run by its definition.
std::vector<std::pair<int64_t, int64_t>> reference_sort(const int64_t* keys, std::size_t n) {
  std::vector<std::pair<int64_t, int64_t>> pairs;
  for (std::size_t i = 0; i < n; ++i) pairs.emplace_back(keys[i], static_cast<int64_t>(i));
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return pairs;
}

void test_counting_sort() {
  // The primitive: stable, and it refuses a key outside [0, space).
  for (const int64_t space : {1, 7, 300}) {
    std::uniform_int_distribution<int64_t> key(0, space - 1);
    std::vector<int64_t> keys(1000);
    for (auto& k : keys) k = key(rng);
    std::vector<uint32_t> out(keys.size());
    Array<uint32_t> counts;
    const auto sort = [&] {
      return plovik::counting_sort_by_key(
          keys.size(), space, [&](std::size_t i) { return keys[i]; },
          [](std::size_t i) { return static_cast<uint32_t>(i); }, out.data(), counts);
    };
    CHECK(sort());
    const auto want = reference_sort(keys.data(), keys.size());
    for (std::size_t j = 0; j < out.size(); ++j)
      CHECK(out[j] == static_cast<uint32_t>(want[j].second));
    for (int64_t c = 0; c < space; ++c)
      CHECK(counts[static_cast<std::size_t>(c)] ==
            std::upper_bound(want.begin(), want.end(), std::make_pair(c, INT64_MAX)) -
                want.begin());
    keys[500] = space;
    CHECK(!sort());
  }
  // Whole tiers, by counting sort (small key spaces) and by comparison
  // sort (large ones), with a dense directory and with bucket lists.
  for (const auto& [b, k] : {std::pair<int64_t, std::size_t>{3, 2}, {5, 4}, {40, 4}, {1000, 5}}) {
    Index ix;
    make_index(ix, b, k, 3, 2);
    const std::size_t n = 2000;
    const int64_t space = plovik::key_space(ix);
    std::uniform_int_distribution<int64_t> key(0, std::min<int64_t>(space - 1, 50));
    Array<int64_t> keys(ix.l * n);
    for (auto& v : keys) v = key(rng) * (space > 51 ? space / 51 : 1);
    ix.static_tables = plovik::sort_tier(ix, keys.data(), n);
    ix.n_points = ix.n_static = n;
    const std::size_t stride = plovik::directory_stride(ix);
    CHECK(ix.static_tables.offsets.size() == ix.l * stride);
    const plovik::TierView view = plovik::static_tier(ix);
    std::vector<int64_t> run(n);
    const auto first_at = [&](int64_t key) {
      return static_cast<std::size_t>(std::ranges::lower_bound(run, key) - run.begin());
    };
    for (std::size_t t = 0; t < ix.l; ++t) {
      const auto want = reference_sort(keys.data() + t * n, n);
      plovik::expand_table_keys(view, t, run.data());
      for (std::size_t j = 0; j < n; ++j) {
        CHECK(run[j] == want[j].first);
        CHECK(view.table_ids(t)[j] == want[j].second);
      }
      // Every key interval gives the entries whose key lies in it.
      for (const int64_t lo : {int64_t{0}, want[n / 3].first, want[n - 1].first, space - 1})
        for (const uint64_t span : {uint64_t{1}, uint64_t{7}}) {
          if (stride != 0 && static_cast<uint64_t>(lo) + span > static_cast<uint64_t>(space))
            continue;
          const plovik::Range r = plovik::tier_range(view, t, lo, span);
          CHECK(r.start == first_at(lo) && r.end == first_at(lo + static_cast<int64_t>(span)));
        }
      if (stride == 0) continue;
      std::vector<uint32_t> dir(stride);
      plovik::table_offsets(run.data(), n, dir.data(), stride);
      CHECK(std::equal(dir.begin(), dir.end(), ix.static_tables.offsets.begin() + t * stride));
    }
  }
}

void test_merge() {
  // Both merges equal a stable sort of a's entries followed by b's.
  for (const std::size_t na : {0, 1, 300})
    for (const std::size_t nb : {0, 5, 400}) {
      const int64_t space = 20;
      std::uniform_int_distribution<int64_t> key(0, space - 1);
      std::vector<int64_t> ak(na), bk(nb);
      for (auto& v : ak) v = key(rng);
      for (auto& v : bk) v = key(rng);
      std::sort(ak.begin(), ak.end());
      std::sort(bk.begin(), bk.end());
      // Stored ids: a permutation of the run's positions, given bases.
      std::vector<uint32_t> ai(na + 1), bi(nb + 1);
      std::iota(ai.begin(), ai.end(), 0);
      std::iota(bi.begin(), bi.end(), 0);
      std::shuffle(ai.begin(), ai.begin() + na, rng);
      std::shuffle(bi.begin(), bi.begin() + nb, rng);
      const plovik::MergeRun a{ai.data(), 1000, na}, b{bi.data(), 0, nb};
      // Each merged entry's key, and its id: the stored id plus its run's base.
      std::vector<int64_t> merged_keys = ak;
      merged_keys.insert(merged_keys.end(), bk.begin(), bk.end());
      auto want = reference_sort(merged_keys.data(), na + nb);
      for (auto& [key, id] : want) id = id < std::ssize(ak) ? ai[id] + 1000 : bi[id - na];
      std::ranges::sort(merged_keys);
      std::vector<uint32_t> ids(na + nb + 1);
      const std::size_t stride = space + 1;
      std::vector<uint32_t> adir(stride), bdir(stride);
      plovik::table_offsets(ak.data(), na, adir.data(), stride);
      plovik::table_offsets(bk.data(), nb, bdir.data(), stride);
      CHECK(plovik::merge_by_directory(a, adir.data(), b, nb != 0 ? bdir.data() : nullptr, stride,
                                       ids.data()));
      for (std::size_t j = 0; j < want.size(); ++j) CHECK(ids[j] == want[j].second);
      plovik::TableBuckets abk, bbk, merged;
      plovik::buckets_of_run(ak.data(), na, abk);
      plovik::buckets_of_run(bk.data(), nb, bbk);
      std::fill(ids.begin(), ids.end(), 0);
      plovik::merge_by_buckets(a, {abk.keys.data(), abk.starts.data(), abk.keys.size()}, b,
                               {bbk.keys.data(), bbk.starts.data(), bbk.keys.size()}, ids.data(),
                               &merged);
      for (std::size_t j = 0; j < want.size(); ++j) CHECK(ids[j] == want[j].second);
      plovik::TableBuckets expect;
      plovik::buckets_of_run(merged_keys.data(), merged_keys.size(), expect);
      CHECK(std::ranges::equal(merged.keys, expect.keys));
      CHECK(std::ranges::equal(merged.starts, expect.starts));
      // A directory that does not cover its run is refused.
      if (na > 0) {
        adir[stride - 1] -= 1;
        CHECK(!plovik::merge_by_directory(a, adir.data(), b, bdir.data(), stride, ids.data()));
      }
    }
}

void test_topk_order() {
  // The heap keeps the k first distinct ids in (distance bits, id) order,
  // whatever the order of the offers; repeated ids and ties included.
  for (const std::size_t k : {0, 1, 3, 10}) {
    // One distance per id (a later offer of an id is ignored only when the
    // id is already held, so the offers repeat it), seven distances in all.
    std::uniform_int_distribution<uint32_t> bits(0, 6);
    std::uniform_int_distribution<int64_t> id(0, 25);
    std::vector<uint32_t> bits_of(26);
    for (auto& b : bits_of) b = bits(rng) + 0x3f000000u;
    std::vector<plovik::Slot> offers, want;
    for (int i = 0; i < 60; ++i) {
      const int64_t j = id(rng);
      offers.push_back({bits_of[j], j});
      if (std::none_of(want.begin(), want.end(), [&](const auto& w) { return w.id == j; }))
        want.push_back(offers.back());
    }
    std::ranges::sort(want, {}, [](const plovik::Slot& x) { return std::pair(x.bits, x.id); });
    want.resize(std::min(k, want.size()));
    for (int round = 0; round < 3; ++round) {
      std::shuffle(offers.begin(), offers.end(), rng);
      plovik::TopK top(k);
      for (const auto& o : offers) plovik::heap_offer(top, o.bits, o.id);
      plovik::sort_filled(top);
      CHECK(top.len == want.size());
      std::vector<int64_t> idx(k, -1);
      std::vector<double> dist(k, INFINITY);
      plovik::write_row(top.heap.data(), top.len, idx.data(), dist.data());
      for (std::size_t j = 0; j < want.size(); ++j)
        CHECK(idx[j] == want[j].id && dist[j] == plovik::widen_bits(want[j].bits));
      for (std::size_t j = want.size(); j < k; ++j) CHECK(idx[j] == -1 && std::isinf(dist[j]));
    }
  }
}

// The key formula written out here: per component, the coordinate plus the
// offset wrapped onto the unit circle, times b, truncated (NaN as 0), capped
// at b - 1; the key sums code * b^j, wrapping.
int64_t formula_key(const Index& ix, const double* row, std::size_t t) {
  uint64_t key = 0, radix = 1;
  for (std::size_t j = 0; j < ix.k; ++j) {
    const std::size_t at = t * ix.k + j;
    const double x = row[ix.s[at]] + ix.u[at];
    const double y = (x - std::floor(x)) * static_cast<double>(ix.b);
    const int64_t code = std::min<int64_t>(std::isnan(y) ? 0 : static_cast<int64_t>(y), ix.b - 1);
    key += static_cast<uint64_t>(code) * radix;
    radix *= static_cast<uint64_t>(ix.b);
  }
  return static_cast<int64_t>(key);
}

void test_key_formula() {
  // Coordinates in [0, 1), edges included, in chunks that do not divide by
  // four: the vectorised rows (while b^K stays below 2^31), compute_keys and
  // query_codes all give the general formula's keys. d = 8 and 16 take the
  // four-by-four copy into columns where the processor has it.
  const double below_one = std::nextafter(1.0, 0.0);
  for (const std::size_t d : {5, 8, 16})
    for (const auto& [b, k] : std::initializer_list<std::pair<int64_t, std::size_t>>{
             {1, 3}, {2, 31}, {7, 5}, {46340, 2}, {46341, 2}, {(int64_t{1} << 31) - 1, 1}}) {
      const std::size_t l = 4, n = 61;
      Index ix;
      make_index(ix, b, k, l, d);
      ix.u[0] = below_one;
      ix.u[1] = 0.0;
      const bool vec = b != 46341;
      CHECK(plovik::vectorised_keys_apply(ix) == vec);
      std::uniform_real_distribution<double> unit(0.0, 1.0);
      Array<double> rows(n * d);
      for (auto& v : rows) v = unit(rng);
      for (std::size_t c = 0; c < d; ++c) {
        rows[c] = 0.0;
        rows[d + c] = below_one;
        rows[2 * d + c] = 1.0 - ix.u[0];
        rows[3 * d + c] = -0.0;
      }
      std::vector<int64_t> vectorised(l * n);
      CHECK(!vec ||
            plovik::vectorised_keys_rows(ix, rows.data(), d, n, {0, ix.l}, vectorised.data(), n));
      const Array<int64_t> computed = plovik::compute_keys(ix, rows.data(), d, 0, n);
      std::vector<int64_t> codes(k);
      std::vector<double> fracs(k);
      for (std::size_t t = 0; t < l; ++t)
        for (std::size_t i = 0; i < n; ++i) {
          const int64_t want = formula_key(ix, rows.data() + i * d, t);
          CHECK(!vec || vectorised[t * n + i] == want);
          CHECK(computed[t * n + i] == want);
          CHECK(plovik::query_codes(ix, rows.data() + i * d, t, codes.data(), fracs.data()) ==
                want);
        }
      // Coordinates outside [0, 1) in a chunk (one in a row of the four-row
      // copies or in the last row, copied alone; or every one shifted by
      // -1/2): the vectorised rows take any finite ones and give the
      // formula's keys; a NaN or an infinity they refuse, and compute_keys
      // hashes that chunk by the general formula.
      const double inf = std::numeric_limits<double>::infinity();
      for (const double outside :
           {1.0, -0.25, 3.5, -5e-324, 1e300, -1e300, std::nan(""), inf, -inf, 0.5})
        for (const std::size_t at : {(n / 2) * d + 1, n * d - 1}) {
          Array<double> mixed = rows;
          if (outside == 0.5)
            for (auto& v : mixed) v -= 0.5;
          else
            mixed[at] = outside;
          const bool finite = std::isfinite(outside);
          const bool took = vec && plovik::vectorised_keys_rows(ix, mixed.data(), d, n, {0, ix.l},
                                                                vectorised.data(), n);
          CHECK(took == (vec && finite));
          const Array<int64_t> keys = plovik::compute_keys(ix, mixed.data(), d, 0, n);
          for (std::size_t t = 0; t < l; ++t)
            for (std::size_t i = 0; i < n; ++i) {
              const int64_t want = formula_key(ix, mixed.data() + i * d, t);
              CHECK(keys[t * n + i] == want);
              CHECK(!took || vectorised[t * n + i] == want);
            }
        }
    }
}

}  // namespace

// A stored coordinate: uniform, on a coarse grid (ties, terms of exactly 0
// and 1/2), 0, or the largest float below 1.
float stored_value() {
  const int v = std::uniform_int_distribution<int>(0, 9)(rng);
  if (v == 0) return 0.0f;
  if (v == 1) return std::nextafter(1.0f, 0.0f);
  if (v < 5) return static_cast<float>(std::uniform_int_distribution<int>(0, 8)(rng)) / 8.0f;
  return plovik::wrap_f32(std::uniform_real_distribution<double>(0.0, 1.0)(rng));
}

void test_exact_tile_distances() {
  // The eight lanes of a tile, by the AVX2 and the portable path, equal the
  // scalar reference bit for bit (torus_l1_f32 for plain L1 and weights of
  // 1, metric_sum_f32 for L1 and L2, weighted or not); d from 1 to 40.
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  using plovik::MetricKind;
  for (std::size_t d = 1; d <= 40; ++d)
    for (int rep = 0; rep < 20; ++rep) {
      std::vector<float> q(d), rows(8 * d), tile(8 * d);
      for (auto& v : q) v = stored_value();
      for (std::size_t j = 0; j < 8; ++j)
        for (std::size_t c = 0; c < d; ++c) tile[c * 8 + j] = rows[j * d + c] = stored_value();
      plovik::Metric weighted, ones;
      for (std::size_t c = 0; c < d; ++c) {
        weighted.weights.push_back(static_cast<float>(0.125 + unit(rng)));
        ones.weights.push_back(1.0f);
      }
      for (const MetricKind mk : {MetricKind::l1, MetricKind::l2}) {
        plovik::Metric plain;
        plain.kind = weighted.kind = ones.kind = mk;
        for (const plovik::Metric* metric : {&plain, &weighted, &ones})
          for (const bool avx2 : {false, true}) {
            float got[8];
            if (!plovik::exact_tile_distances(q.data(), tile.data(), d, avx2, got, *metric))
              continue;
            for (std::size_t j = 0; j < 8; ++j) {
              const float* p = rows.data() + j * d;
              const uint32_t bits = plovik::distance_bits(got[j]);
              CHECK(bits == plovik::distance_bits(plovik::metric_sum_f32(*metric, q.data(), p, d)));
              if (metric != &weighted)
                CHECK(bits == plovik::distance_bits(plovik::metric_sum_f32(plain, q.data(), p, d)));
              if (mk == MetricKind::l1 && metric != &weighted)
                CHECK(bits == plovik::distance_bits(plovik::torus_l1_f32(q.data(), p, d)));
            }
          }
      }
    }
  // Weights that do not fit the points are refused.
  plovik::Metric bad;
  bad.weights = {1.0f, 0.0f};
  float out[8], zeros[16] = {};
  CHECK(throws([&] { plovik::exact_tile_distances(zeros, zeros, 2, false, out, bad); }));
}

void test_exact_layout() {
  // Laid-out points (whole tiles by the AVX2 path, the last partial one by
  // the scalar path) are wrap_f32 of each coordinate, 0 in padding lanes; up
  // to 255 coordinates, byte tiles of sixteen points hold floor(256 x) mod
  // 256 (0 past the points). A spatial order is a permutation of the rows and
  // each group's byte ranges hold its points' bytes.
  std::uniform_real_distribution<double> unit(0.0, 1.0), wide(-5.0, 5.0);
  std::uniform_int_distribution<int> kind(0, 11), step(0, 2048);
  auto value = [&] {
    switch (kind(rng)) {
      case 0: return -0.0;
      case 1: return 1.0 - std::ldexp(1.0, -30);  // wraps below 1, rounds to 1.0f
      case 2: return -std::ldexp(1.0, -40);
      case 3: return std::ldexp(1.0, 52) + 0.5 * static_cast<double>(step(rng) % 3);
      case 4: return -1e17 * unit(rng);
      case 5: return static_cast<double>(step(rng)) / 256.0;
      case 6: return std::nextafter(static_cast<double>(step(rng)) / 256.0, -1.0);
      case 7: return wide(rng);
      default: return unit(rng);
    }
  };
  auto byte_of = [](float x) -> uint8_t {
    return x >= 0.0f && x <= 1.0f ? static_cast<uint8_t>(static_cast<unsigned>(x * 256.0f) & 255u)
                                  : uint8_t{0};
  };
  for (const std::size_t d : {1, 2, 3, 4, 5, 7, 8, 9, 16, 30, 33, 255, 256})
    for (const std::size_t n : {1, 7, 8, 9, 24, 41, 8200}) {
      if (d > 40 && n > 41) continue;
      std::vector<double> rows(n * d);
      for (auto& v : rows) v = value();
      const plovik::ExactTiles laid = plovik::exact_tiles({rows, n, d});
      const std::size_t tiles = plovik::tile_count(n), pairs = (d + 1) / 2;
      CHECK(laid.tiles.size() == tiles * 8 * d);
      CHECK(laid.codes.size() == (d <= 255 ? (tiles + 1) / 2 * pairs * 32 : 0));
      const auto& order = laid.spatial.order;
      CHECK(order.empty() == (n < plovik::ordered_from || d < 4 || d > 255));
      std::vector<bool> seen(n, false);
      for (const uint32_t id : order) seen.at(id) = true;
      CHECK(order.empty() || std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }));
      const std::size_t stride = plovik::range_stride(d);
      for (std::size_t t = 0; t < tiles; ++t)
        for (std::size_t j = 0; j < 8; ++j)
          for (std::size_t c = 0; c < pairs * 2; ++c) {
            const std::size_t i = t * 8 + j, id = order.empty() || i >= n ? i : order[i];
            const float x = i < n && c < d ? plovik::wrap_f32(rows[id * d + c]) : 0.0f;
            if (c < d)
              CHECK(std::bit_cast<uint32_t>(laid.tiles[(t * d + c) * 8 + j]) ==
                    std::bit_cast<uint32_t>(x));
            if (!laid.codes.empty())
              CHECK(laid.codes[(t / 2 * pairs + c / 2) * 32 + t % 2 * 16 + 2 * j + c % 2] ==
                    byte_of(x));
            if (!order.empty() && i < n && c < d) {
              const uint8_t* low = laid.ranges.data() + t / plovik::group_tiles * 2 * stride;
              CHECK(low[c] <= byte_of(x) && byte_of(x) <= low[stride + c]);
            }
          }
      if (!laid.codes.empty() && tiles % 2 != 0)  // the last byte tile's second half
        for (std::size_t q = 0; q < pairs; ++q)
          for (std::size_t b = 16; b < 32; ++b)
            CHECK(laid.codes[((tiles / 2) * pairs + q) * 32 + b] == 0);
    }
}

// The grid's runs of distances (coordinate-major points, one query), by
// the baseline loops and the AVX2 ones where the processor has it, equal
// metric_sum_f32 bit for bit: d = 1 to 4 unrolled, 5 to 16 by the general
// loops (plain L1 a coordinate at a time); each term kind, stored values.
void test_grid_distance_runs() {
  using namespace plovik::grid_detail;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto check = [&]<std::size_t D, int Kind>(std::size_t d, const plovik::Metric& metric) {
    const std::size_t len = 37;
    std::vector<float> coords(d * len), q(d), base(len), wide(len);
    for (auto& v : coords) v = stored_value();
    for (auto& v : q) v = stored_value();
    const float* axis[max_grid_dims];
    for (std::size_t a = 0; a < d; ++a) axis[a] = coords.data() + a * len;
    const float* w = metric.weights.empty() ? nullptr : metric.weights.data();
    distances_run_body<D, Kind>(q.data(), axis, 0, len, d, base.data(), &metric, w);
#if PLOVIK_AVX2_TARGET
    if (plovik::cpu_has_avx2())
      distances_run_avx2<D, Kind>(q.data(), axis, 0, len, d, wide.data(), &metric, w);
    else
#endif
      wide = base;
    for (std::size_t j = 0; j < len; ++j) {
      std::vector<float> p(d);
      for (std::size_t a = 0; a < d; ++a) p[a] = axis[a][j];
      const uint32_t want =
          plovik::distance_bits(plovik::metric_sum_f32(metric, q.data(), p.data(), d));
      CHECK(plovik::distance_bits(base[j]) == want);
      CHECK(plovik::distance_bits(wide[j]) == want);
    }
  };
  // Every d from 1 to 16 in a metric of this kind, with weights or without.
  const auto each_d = [&]<int Kind>(plovik::MetricKind kind, bool weighted) {
    for (std::size_t d = 1; d <= 16; ++d) {
      plovik::Metric m;
      m.kind = kind;
      for (std::size_t a = 0; weighted && a < d; ++a)
        m.weights.push_back(static_cast<float>(0.125 + 3.0 * unit(rng)));
      switch (d) {
        case 1: check.template operator()<1, Kind>(d, m); break;
        case 2: check.template operator()<2, Kind>(d, m); break;
        case 3: check.template operator()<3, Kind>(d, m); break;
        case 4: check.template operator()<4, Kind>(d, m); break;
        default: check.template operator()<0, Kind>(d, m); break;
      }
    }
  };
  for (int rep = 0; rep < 20; ++rep) {
    each_d.template operator()<l1_plain>(plovik::MetricKind::l1, false);
    each_d.template operator()<l2_plain>(plovik::MetricKind::l2, false);
    each_d.template operator()<l1_weighted>(plovik::MetricKind::l1, true);
    each_d.template operator()<l2_weighted>(plovik::MetricKind::l2, true);
  }
}

void test_l2_sum_bound() {
  // s <= l2_sum_bound(r) exactly when sqrt(s) <= r, for radii across the
  // range and the sums around the bound.
  std::uniform_real_distribution<double> expo(-40.0, 40.0);
  using limits = std::numeric_limits<float>;
  std::vector<float> radii = {
      0.0f, 1e-30f, 0.5f, 1.0f, std::nextafter(1.0f, 0.0f), limits::denorm_min(), limits::max()};
  for (int i = 0; i < 2000; ++i) radii.push_back(static_cast<float>(std::exp2(expo(rng))));
  for (const float r : radii) {
    const float b = plovik::l2_sum_bound(r);
    CHECK(b >= 0.0f && std::sqrt(b) <= r);
    float s = b;
    for (int step = 0; step < 4; ++step) s = std::nextafter(s, 0.0f);
    for (int step = 0; step < 8; ++step, s = std::nextafter(s, INFINITY))
      CHECK((s <= b) == (std::sqrt(s) <= r));
  }
  CHECK(plovik::l2_sum_bound(INFINITY) == INFINITY);
  CHECK(std::isnan(plovik::l2_sum_bound(NAN)));
}

// The distinct threads that run the tasks of one job of slow tasks, and
// the worker count its tasks see.
std::pair<std::size_t, std::size_t> threads_of_a_job() {
  std::mutex mu;
  std::set<std::thread::id> seen;
  std::size_t inside = 0;
  plovik::parallel::for_each(64, [&](std::size_t) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::lock_guard lock(mu);
    seen.insert(std::this_thread::get_id());
    inside = std::max(inside, plovik::parallel::thread_count());
  });
  return {seen.size(), inside};
}

void test_thread_limits() {
  namespace par = plovik::parallel;
  const std::size_t pool = par::pool_thread_count();
  CHECK(par::thread_count() == pool);
  {
    par::ThreadLimit one(1);
    CHECK(par::thread_count() == 1);
    const auto [threads, inside] = threads_of_a_job();
    CHECK(threads == 1 && inside == 1);
    {
      par::ThreadLimit more(pool + 5);  // the innermost limit, never above the pool
      CHECK(par::thread_count() == pool);
    }
    CHECK(par::thread_count() == 1);
  }
  // Jobs of two threads with different limits at once: each keeps its own.
  std::pair<std::size_t, std::size_t> limited{0, 0}, free{0, 0};
  std::thread a([&] {
    par::ThreadLimit one(1);
    for (int i = 0; i < 5; ++i) limited = std::max(limited, threads_of_a_job());
  });
  std::thread b([&] {
    for (int i = 0; i < 5; ++i) free = std::max(free, threads_of_a_job());
  });
  a.join();
  b.join();
  CHECK(limited.first == 1 && limited.second == 1);
  CHECK(free.first <= pool && free.second == pool);
  // The process-wide limit, and the lower of it and a thread's own.
  CHECK(par::set_process_thread_limit(1) == 0);
  CHECK(par::thread_count() == 1 && threads_of_a_job().first == 1);
  {
    par::ThreadLimit two(2);
    CHECK(par::thread_count() == 1);
  }
  CHECK(par::set_process_thread_limit(0) == 1);
  CHECK(par::thread_count() == pool);
}

// A mapped array holds the file's values, takes private copies of the pages
// written, leaves the file alone, and is freed (never kept for reuse) inside
// a call that keeps what it frees.
void test_file_map() {
  char path[] = "/tmp/plovik-engine-test-XXXXXX";
  const int fd = mkstemp(path);
  CHECK(fd >= 0);
  if (fd < 0) return;
  const std::size_t offset = plovik::page_bytes, n = 3 * (std::size_t{1} << 20) / 4 + 7;
  std::vector<uint32_t> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<uint32_t>(i * 2654435761u);
  std::vector<char> head(offset, 'x');
  CHECK(write(fd, head.data(), offset) == static_cast<ssize_t>(offset));
  CHECK(write(fd, values.data(), n * 4) == static_cast<ssize_t>(n * 4));
  close(fd);
  {
    plovik::MappedFile file(path);
    CHECK(file.size() == offset + n * 4);
    const std::size_t before = plovik::adopted_count();
    plovik::ArrayReuse reuse;
    {
      Array<uint32_t> a = plovik::map_array<uint32_t>(file, offset, n);
      CHECK(plovik::adopted_count() == before + 1);
      CHECK(a.size() == n && std::equal(a.begin(), a.end(), values.begin()));
      a[0] = 1;
      a[n - 1] = 2;
      CHECK(a[0] == 1 && a[n - 1] == 2 && a[1] == values[1]);
      Array<uint32_t> plain(n);
      // A call of an index holding a gigabyte: what it frees is kept, an
      // ordinary array (the control) but not the mapped one.
      reuse.note_allocated(std::size_t{1} << 30);
      plovik::ReuseScope call(reuse);
      Array<uint32_t> moved = std::move(a);
      Array<uint32_t>().swap(moved);
      CHECK(reuse.kept_bytes() == 0);
      Array<uint32_t>().swap(plain);
      CHECK(reuse.kept_bytes() != 0);
    }
    CHECK(plovik::adopted_count() == before);
  }
  plovik::MappedFile again(path);
  Array<uint32_t> b = plovik::map_array<uint32_t>(again, offset, n);
  CHECK(std::equal(b.begin(), b.end(), values.begin()));  // the writes stayed private
  unlink(path);
  CHECK(throws<std::system_error>([&] { plovik::MappedFile missing(path); }));
}

void test_crc32c() {
  // Known values (the check value and iSCSI's 32-byte patterns).
  std::vector<unsigned char> bytes(32);
  const auto both = [](const void* p, std::size_t n, std::uint32_t want) {
    CHECK(plovik::crc32c(0, p, n) == want);
    CHECK(plovik::crc32c_portable(0, p, n) == want);
  };
  both("123456789", 9, 0xE3069283u);
  both("", 0, 0u);
  both(bytes.data(), 32, 0x8A9136AAu);
  std::fill(bytes.begin(), bytes.end(), 0xFF);
  both(bytes.data(), 32, 0x62A8AB43u);
  std::iota(bytes.begin(), bytes.end(), 0);
  both(bytes.data(), 32, 0x46DD794Eu);
  // Every length up to past three short blocks, and lengths around three
  // long ones, at every alignment and from a nonzero start: both paths agree
  // (the dispatching one is the instruction's where the processor has it).
  std::vector<unsigned char> data(3 * 8192 * 2 + 300);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& v : data) v = static_cast<unsigned char>(byte(rng));
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 3 * 256 + 20; ++n) lengths.push_back(n);
  for (const std::size_t base : {3 * 8192, 2 * 3 * 8192})
    for (std::size_t n = base - 9; n <= base + 9; ++n) lengths.push_back(n);
  int mismatches = 0;
  for (std::size_t offset = 0; offset < 16; ++offset)
    for (const std::size_t n : lengths) {
      const std::uint32_t start = static_cast<std::uint32_t>(n * 2654435761u);
      mismatches += plovik::crc32c(start, data.data() + offset, n) !=
                    plovik::crc32c_portable(start, data.data() + offset, n);
    }
  CHECK(mismatches == 0);
  std::printf("crc32c: %s\n", plovik::crc32c_hardware() ? "crc32 instruction" : "tables");
}

// Brute force over wrapped single-precision points: every (distance bits,
// id) of each query but its excluded id, ascending.
using BruteRow = std::vector<std::pair<uint32_t, int64_t>>;
std::vector<BruteRow> brute_rows(const std::vector<float>& points, const std::vector<int64_t>& ids,
                                 const std::vector<float>& queries,
                                 const std::vector<int64_t>& excluded, std::size_t d,
                                 const plovik::Metric& metric) {
  std::vector<BruteRow> rows(queries.size() / d);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < ids.size(); ++j)
      if (ids[j] != excluded[i])
        rows[i].emplace_back(plovik::distance_bits(plovik::metric_distance_f32(
                                 metric, queries.data() + i * d, points.data() + j * d, d)),
                             ids[j]);
    std::sort(rows[i].begin(), rows[i].end());
  }
  return rows;
}

// Whether the first n entries of a brute-force row are these ids and distances.
bool row_matches(const BruteRow& want, std::size_t n, const int64_t* ids, const double* dists) {
  for (std::size_t x = 0; x < n; ++x)
    if (ids[x] != want[x].second || dists[x] != plovik::widen_bits(want[x].first)) return false;
  return true;
}

void test_grid_against_brute_force() {
  // Small boxes, a third of the coordinates on cell faces, duplicated points,
  // a point periods away; one tier with row ids, two with ids above 2^32;
  // radii at, below and above the cell width and beyond the torus; k past
  // the points; one thread and two alike. L1 and L2, with and without axis
  // weights (each axis then cut into its own number of cells).
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> kind(0, 8);
  const float some_weights[] = {1.0f, 0.5f, 0.3f, 0.0625f};
  for (const int variant : {0, 1, 2, 3})
    for (const std::size_t d : {1, 2, 3, 4, 5}) {
      plovik::Metric metric;
      metric.kind = variant % 2 == 1 ? plovik::MetricKind::l2 : plovik::MetricKind::l1;
      if (variant >= 2)
        for (std::size_t a = 0; a < d; ++a) metric.weights.push_back(some_weights[(a + 1) % 4]);
      for (const std::size_t cells : {1, 3, 4, 7}) {
        if (std::pow(static_cast<double>(cells), static_cast<double>(d)) > 3000.0) continue;
        const std::size_t n = 120, m = 40;
        std::uniform_int_distribution<std::size_t> face(0, cells);
        auto value = [&] {
          const int v = kind(rng);
          if (v < 3) return static_cast<double>(face(rng)) / static_cast<double>(cells);
          if (v == 3) return 1.0 - 1e-17;
          return unit(rng);
        };
        std::vector<double> P(n * d), Q(m * d);
        for (auto& v : P) v = value();
        for (auto& v : Q) v = value() * 3.0 - 1.0;
        for (std::size_t c = 0; c < d; ++c) {
          P[5 * d + c] = P[6 * d + c] = P[7 * d + c];  // three copies of a point
          P[8 * d + c] += 4.0;                         // a point four periods away
          Q[c] = P[9 * d + c];                         // a query on a point
        }
        std::vector<float> Pf, Qf;
        for (const double x : P) Pf.push_back(plovik::wrap_f32(x));
        for (const double x : Q) Qf.push_back(plovik::wrap_f32(x));
        std::vector<std::size_t> grid_cells(d, cells);
        for (std::size_t a = 0; a < metric.weights.size(); ++a)
          grid_cells[a] = std::max<std::size_t>(
              1, static_cast<std::size_t>(static_cast<float>(cells) * metric.weights[a]));
        std::vector<int64_t> excluded(m);
        std::uniform_int_distribution<int64_t> pick(-1, static_cast<int64_t>(n) - 1);
        for (auto& e : excluded) e = pick(rng);
        // Row ids in one tier; ids above 2^32 split over two tiers.
        std::vector<int64_t> row_ids(n), big_ids(n);
        std::iota(row_ids.begin(), row_ids.end(), 0);
        for (std::size_t j = 0; j < n; ++j)
          big_ids[j] = (int64_t{5} << 32) + static_cast<int64_t>(j);
        const plovik::GridTier one = plovik::grid_tier({P, n, d}, {}, grid_cells, metric);
        const std::size_t half = n / 2;
        const plovik::GridTier low = plovik::grid_tier(
            plovik::PointRows{std::span<const double>(P).first(half * d), half, d},
            std::span<const int64_t>(big_ids).first(half), grid_cells, metric);
        const plovik::GridTier high = plovik::grid_tier(
            plovik::PointRows{std::span<const double>(P).subspan(half * d), n - half, d},
            std::span<const int64_t>(big_ids).subspan(half), grid_cells, metric);
        const plovik::GridTier* single[] = {&one};
        const plovik::GridTier* split[] = {&low, &high};
        const double width = 1.0 / static_cast<double>(cells);
        // Every point's distances to the others, for the pairs.
        const auto between = brute_rows(Pf, row_ids, Pf, std::vector<int64_t>(n, -1), d, metric);
        for (const bool big : {false, true}) {
          const std::vector<int64_t>& ids = big ? big_ids : row_ids;
          const plovik::GridTiers tiers =
              big ? plovik::GridTiers(split) : plovik::GridTiers(single);
          // The excluded id of each query, as an id of these tiers.
          std::vector<int64_t> tier_excluded(m);
          for (std::size_t i = 0; i < m; ++i)
            tier_excluded[i] = excluded[i] < 0 ? -1 : ids[excluded[i]];
          const auto brute = brute_rows(Pf, ids, Qf, tier_excluded, d, metric);
          const plovik::QueryBatch tier_batch{Q, m, d, std::span<const int64_t>(tier_excluded),
                                              std::nullopt};
          for (const double radius : {width, std::nextafter(width, 0.0), std::nextafter(width, 1.0),
                                      0.37 * width, 0.0, 0.5 * static_cast<double>(d) + 1.0}) {
            const float cutoff = static_cast<float>(radius);
            std::vector<plovik::RadiusResult> by_threads;
            for (const std::size_t threads : {1, 2}) {
              plovik::parallel::ThreadLimit limit(threads);
              by_threads.push_back(plovik::grid_radius(tiers, tier_batch, radius));
            }
            const plovik::RadiusResult& got = by_threads[0];
            CHECK(got.ids == by_threads[1].ids && got.dists == by_threads[1].dists);
            CHECK(got.indptr.size() == m + 1);
            for (std::size_t i = 0; i < m && got.indptr.size() == m + 1; ++i) {
              const auto s = static_cast<std::size_t>(got.indptr[i]);
              const auto within = static_cast<std::size_t>(
                  std::ranges::partition_point(
                      brute[i],
                      [&](const auto& e) { return std::bit_cast<float>(e.first) <= cutoff; }) -
                  brute[i].begin());
              CHECK(static_cast<std::size_t>(got.indptr[i + 1]) - s == within);
              CHECK(s + within <= got.ids.size() &&
                    row_matches(brute[i], within, got.ids.data() + s, got.dists.data() + s));
            }
            // The half list: each pair within the radius once, by (i, distance, j).
            if (!big) {
              const plovik::GridPairs pairs = plovik::grid_pairs(tiers, radius, false, true);
              std::vector<std::tuple<int64_t, uint32_t, int64_t>> want;
              for (std::size_t a = 0; a < n; ++a)
                for (const auto& [bits, b] : between[a])
                  if (b > static_cast<int64_t>(a) && std::bit_cast<float>(bits) <= cutoff)
                    want.emplace_back(static_cast<int64_t>(a), bits, b);
              CHECK(pairs.i.size() == want.size());
              for (std::size_t x = 0; x < want.size() && x < pairs.i.size(); ++x)
                CHECK(pairs.i[x] == std::get<0>(want[x]) && pairs.j[x] == std::get<2>(want[x]) &&
                      pairs.dist[x] == plovik::widen_bits(std::get<1>(want[x])));
            } else {
              CHECK(throws([&] { plovik::grid_pairs(tiers, radius, false, true); }));
            }
          }
          for (const std::size_t k : {std::size_t{1}, std::size_t{5}, std::size_t{13}, n + 3}) {
            std::vector<plovik::ExactKnnResult> by_threads;
            for (const std::size_t threads : {1, 2}) {
              plovik::parallel::ThreadLimit limit(threads);
              by_threads.push_back(plovik::grid_knn(tiers, tier_batch, k));
            }
            const plovik::ExactKnnResult& got = by_threads[0];
            CHECK(got.idx == by_threads[1].idx && got.dist == by_threads[1].dist);
            for (std::size_t i = 0; i < m; ++i) {
              const std::size_t found = std::min(k, brute[i].size());
              CHECK(row_matches(brute[i], found, got.idx.data() + i * k, got.dist.data() + i * k));
              for (std::size_t x = found; x < k; ++x)
                CHECK(got.idx[i * k + x] == -1 && std::isinf(got.dist[i * k + x]));
            }
          }
        }
      }
    }
}

int main() {
  const std::pair<const char*, void (*)()> tests[] = {
      {"counting_sort", test_counting_sort},
      {"merge", test_merge},
      {"topk_order", test_topk_order},
      {"key_formula", test_key_formula},
      {"exact_tile_distances", test_exact_tile_distances},
      {"exact_layout", test_exact_layout},
      {"grid_distance_runs", test_grid_distance_runs},
      {"l2_sum_bound", test_l2_sum_bound},
      {"thread_limits", test_thread_limits},
      {"file_map", test_file_map},
      {"crc32c", test_crc32c},
      {"grid_against_brute_force", test_grid_against_brute_force},
  };
  int passed = 0, failed = 0;
  for (const auto& [name, run] : tests) {
    const int before = failed_checks;
    run();
    const bool ok = failed_checks == before;
    (ok ? passed : failed) += 1;
    std::printf("engine test %s: %s\n", name, ok ? "ok" : "FAILED");
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
