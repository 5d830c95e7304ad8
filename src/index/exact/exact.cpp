#include "index/exact/exact.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "index/cpu_features.hpp"
#include "index/errors.hpp"
#include "index/exact/order.hpp"
#include "index/hash/keys.hpp"
#include "index/memory/prefetch.hpp"
#include "index/query/topk.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

#if PLOVIK_AVX2_TARGET
#include <immintrin.h>
#endif

// The eight-lane vectors below never cross a function boundary outside this
// file, so GCC's note that they pass differently without AVX concerns no
// interface.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace plovik {

namespace {

// Eight lanes of single precision / int32 (GCC and Clang vector extensions).
using V8 = float __attribute__((vector_size(32)));
using I8 = int32_t __attribute__((vector_size(32)));
// Thirty-two bytes / sixteen int16: the byte coordinates of sixteen points,
// two coordinates each, and their sums.
using U32B = uint8_t __attribute__((vector_size(32)));
using I16 = int16_t __attribute__((vector_size(32)));

constexpr std::size_t lanes = 8;
// Queries per task, and the bytes of tiles scanned by every query of a task
// before the next tiles: well inside the first-level cache.
constexpr std::size_t queries_per_task = 32;
constexpr std::size_t tile_block_bytes = std::size_t{16} * 1024;
// A task's run of points is at least this many tiles, and the partial rows
// of runs split across tasks (k-nearest) hold at most this many slots.
constexpr std::size_t min_run_tiles = 4096;
constexpr std::size_t max_partial_slots = std::size_t{1} << 22;
constexpr std::size_t max_result_cells = PTRDIFF_MAX / 8;

// The term kinds the scan sums (metric_sum_f32's): L1 or L2, with or
// without the axes' weights.
constexpr int l1_plain = 0, l1_weighted = 1, l2_plain = 2, l2_weighted = 3;

int term_kind(const Metric& m) {
  return (m.kind == MetricKind::l2 ? 2 : 0) + (m.weights.empty() ? 0 : 1);
}

// One query against a range of tiles.
struct ScanArgs {
  const float* tiles;  // tile tile_base of the points
  std::size_t d;
  std::size_t tile_begin, tile_end;
  std::size_t tile_base;
  std::size_t n;       // points; lanes past it are padding
  const float* query;  // 8 d values: each coordinate broadcast to eight lanes
  int64_t excluded;
  int kind;                // the term kind, l1_plain .. l2_weighted
  const float* weights;    // the weighted kinds: 8 d values, each weight broadcast
  const uint8_t* codes;    // byte tile tile_base / 2 of the points' byte coordinates (null: none)
  const uint8_t* qcodes;   // the query's byte coordinates, as a byte tile's
  const uint32_t* order;   // the id of each laid-out point (null: its position)
  const uint8_t* ranges;   // the groups' byte ranges (group_ranges; null: none)
  const uint8_t* qbytes;   // the query's bytes, range_stride(d) of them (with ranges)
  std::size_t skip_group;  // a group this call passes over (already scanned), or none
};

constexpr std::size_t no_group = SIZE_MAX;

// One query's k best so far: a max-heap under the result order, and the
// vector threshold on the sums: a lane passes when its sum's bits, as
// int32, are at most thr. While the heap is not full everything passes;
// then a lane passes when its distance comes before the top's (points in
// ascending id order, so an equal distance never displaces the top): for
// L1 (distance = sum) thr is the top's bits minus 1, or the top's bits
// when the points come in another order (`ordered`: an equal distance of
// a lower id does displace it, which offer() decides); for L2 the largest
// sum whose root is below the top (l2_sum_bound of the float before it),
// since the root is monotone; a NaN top (above +inf) keeps the L1 rule, a
// root keeping a NaN sum's bits. Sums have the sign bit clear; anything
// else passes the vector test and meets the exact one in offer().
struct KnnRow {
  Slot* heap;
  std::size_t k;
  std::size_t len;
  int32_t thr;
  bool l2;
  bool ordered;
};

using RadiusRow = Array<Slot>;

void set_threshold(KnnRow& row) {
  const uint32_t top = row.heap[0].bits;
  if (row.len < row.k || top >= 0x80000000u)
    row.thr = std::numeric_limits<int32_t>::max();
  else if (!row.l2 || top > 0x7f800000u)
    row.thr = static_cast<int32_t>(top) - (row.ordered ? 0 : 1);
  else if (top == 0)
    row.thr = -1;
  else
    row.thr = static_cast<int32_t>(
        distance_bits(l2_sum_bound(std::bit_cast<float>(static_cast<uint32_t>(top - 1)))));
}

// The scan meets every point once, so no id can be offered twice.
void offer(KnnRow& row, uint32_t bits, int64_t id) {
  const Slot e{bits, id};
  if (row.len < row.k) {
    heap_push(row.heap, row.len, e);
  } else {
    if (!before(e, row.heap[0])) return;
    heap_replace_top(row.heap, row.k, e);
  }
  set_threshold(row);
}

// Calls take(bits, id) for every lane of `mask` that holds a point of the
// index other than the excluded one (the last tile has lanes past n), bits
// those of the lane's distance: its sum, rooted for L2; `base` is the
// tile's first position, the id that of the point laid out there.
template <class Take>
void for_admitted(unsigned mask, const float* dist, std::size_t base, const ScanArgs& a,
                  Take take) {
  for (; mask != 0; mask &= mask - 1) {
    const auto j = static_cast<std::size_t>(std::countr_zero(mask));
    const std::size_t at = base + j;
    if (at >= a.n) continue;
    const auto id = static_cast<int64_t>(a.order != nullptr ? a.order[at] : at);
    if (id == a.excluded) continue;
    const bool l2 = a.kind == l2_plain || a.kind == l2_weighted;
    take(distance_bits(l2 ? std::sqrt(dist[j]) : dist[j]), id);
  }
}

void admit_knn(KnnRow& row, unsigned mask, const float* dist, std::size_t base, const ScanArgs& a) {
  for_admitted(mask, dist, base, a, [&](uint32_t bits, int64_t id) { offer(row, bits, id); });
}

void admit_radius(RadiusRow& row, unsigned mask, const float* dist, std::size_t base,
                  const ScanArgs& a) {
  for_admitted(mask, dist, base, a, [&](uint32_t bits, int64_t id) { row.push_back({bits, id}); });
}

// Byte coordinates. Each coordinate of the points and the query is also
// kept as one byte, c = floor(256 x) mod 256 of its wrapped single-precision
// value x, in byte tiles of sixteen points: per pair of coordinates 32 bytes,
// point j's at 2 j and 2 j + 1 (a missing last coordinate is 0). Per
// coordinate the toroidal difference of two bytes, min(c - c', c' - c) mod
// 256, is within one of 256 times the exact toroidal difference of the
// values (both are 1-Lipschitz in 256 (x - x'), which the bytes round by
// less than one). Summed: S < 256 D + d, D the exact sum of the terms. The
// scan's float sum f of d terms, each within 2^-24 of its exact term, is at
// least (D - d 2^-24)(1 - d 2^-24). So a point whose sum f is at most a
// limit T has S below 256 (T (1 + 2 d 2^-24) + d 2^-24) + d: a byte tile
// whose sixteen byte sums all exceed that bound holds no point the float
// test would take, and is not summed in floats. The bytes only pass tiles
// over: every distance is still the float sum, the rows the same.
constexpr std::size_t code_lanes = 16;
// Byte sums of at most 255 coordinates fit an int16 (128 per coordinate).
constexpr std::size_t max_code_d = 255;
constexpr int16_t max_code_sum = std::numeric_limits<int16_t>::max();

bool has_codes(const Metric& m, std::size_t d) {
  return term_kind(m) == l1_plain && d >= 1 && d <= max_code_d;
}

// The byte of a wrapped coordinate (1.0, which wrapping can round to, is 0
// again; a NaN is 0: its float sums decide alone).
uint8_t byte_code(float x) {
  return x >= 0.0f && x <= 1.0f ? static_cast<uint8_t>(static_cast<unsigned>(x * 256.0f) & 255u)
                                : uint8_t{0};
}

// Coordinate c of point j of a tile: its value x, and with `code` its byte
// in the tile's byte tile.
inline void put_value(float* out, uint8_t* code, std::size_t c, std::size_t j, float x) {
  out[c * lanes + j] = x;
  if (code != nullptr) code[c / 2 * 32 + 2 * j + c % 2] = byte_code(x);
}

// In an odd number d of coordinates, the byte of point j's missing last one: 0.
inline void clear_missing_byte(uint8_t* code, std::size_t d, std::size_t j) {
  if (code != nullptr && d % 2 != 0) code[d / 2 * 32 + 2 * j + 1] = 0;
}

// The byte sums a point whose float sum is at most `limit` can have (see
// above); max_code_sum when any can (no finite limit), -1 when none can.
int16_t code_bound(float limit, std::size_t d) {
  if (limit < 0.0f) return -1;
  if (!std::isfinite(limit)) return max_code_sum;
  const double eps = std::ldexp(static_cast<double>(d), -24);
  const double x =
      256.0 * (static_cast<double>(limit) * (1.0 + 2.0 * eps) + eps) + static_cast<double>(d) + 1.0;
  return x >= max_code_sum ? max_code_sum : static_cast<int16_t>(x);
}

// The same for a k-nearest row's threshold on the sums' bits (KnnRow).
int16_t knn_code_bound(int32_t thr, std::size_t d) {
  if (thr < 0) return -1;
  return code_bound(std::bit_cast<float>(thr), d);
}

}  // namespace

// The scan compiled for AVX2, chosen at run time.
#if PLOVIK_AVX2_TARGET
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace exact_avx2 {
namespace {
inline unsigned lane_mask(const I8& m) {
  return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
}
// The sums of the sixteen byte pairs (two coordinates of one point each).
inline I16 pair_sums(const U32B& v) {
  return reinterpret_cast<I16>(
      _mm256_maddubs_epi16(reinterpret_cast<__m256i>(v), _mm256_set1_epi8(1)));
}
// Two bits per int16 lane of a comparison: lanes 0 - 7 in the low half.
inline unsigned pair_mask(const I16& m) {
  return static_cast<unsigned>(_mm256_movemask_epi8(reinterpret_cast<__m256i>(m)));
}
// The sum of the 32 bytes.
inline int byte_total(const U32B& v) {
  const __m256i s = _mm256_sad_epu8(reinterpret_cast<__m256i>(v), _mm256_setzero_si256());
  const __m128i h = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
  return static_cast<int>(_mm_cvtsi128_si64(_mm_add_epi64(h, _mm_unpackhi_epi64(h, h))));
}
#include "index/exact/scan.hpp"

// One whole tile (eight points, row j of d >= 4 values at rows[j]) as
// lay_out_tiles lays it out, four coordinates of the eight points at a
// time: the same values bit for bit (floor rounds exactly, as floor_exact
// does; the conversion to single precision rounds to nearest, as the
// scalar cast; the bytes are byte_code's), transposed into the tile.
void lay_out_tile(const double* const* rows, std::size_t d, float* out, uint8_t* code) {
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  const __m256 scale = _mm256_set1_ps(256.0f);
  const __m256i low_byte = _mm256_set1_epi32(255);
  std::size_t c = 0;
  for (; c + 4 <= d; c += 4) {
    __m128 r[lanes];
    for (std::size_t j = 0; j < lanes; ++j) {
      const __m256d x = _mm256_loadu_pd(rows[j] + c);
      r[j] = _mm256_cvtpd_ps(_mm256_sub_pd(x, _mm256_floor_pd(x)));
    }
    _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]);
    _MM_TRANSPOSE4_PS(r[4], r[5], r[6], r[7]);
    __m256i bytes[4];
    for (std::size_t q = 0; q < 4; ++q) {
      const __m256 x = _mm256_set_m128(r[4 + q], r[q]);  // coordinate c + q of points 0 - 7
      _mm256_storeu_ps(out + (c + q) * lanes, x);
      if (code == nullptr) continue;
      const __m256 in_unit =
          _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GE_OQ), _mm256_cmp_ps(x, one, _CMP_LE_OQ));
      bytes[q] =
          _mm256_and_si256(_mm256_and_si256(_mm256_cvttps_epi32(_mm256_mul_ps(x, scale)), low_byte),
                           _mm256_castps_si256(in_unit));
    }
    if (code == nullptr) continue;
    // Per point, its two bytes of a pair of coordinates as one 16-bit
    // value (first coordinate low): the byte tile's order.
    const __m256i pair0 = _mm256_or_si256(bytes[0], _mm256_slli_epi32(bytes[1], 8));
    const __m256i pair1 = _mm256_or_si256(bytes[2], _mm256_slli_epi32(bytes[3], 8));
    const __m256i both = _mm256_permute4x64_epi64(_mm256_packus_epi32(pair0, pair1), 0b11011000);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(code + c / 2 * 32), _mm256_castsi256_si128(both));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(code + (c / 2 + 1) * 32),
                     _mm256_extracti128_si256(both, 1));
  }
  for (std::size_t j = 0; j < lanes; ++j) {
    for (std::size_t rest = c; rest < d; ++rest)
      put_value(out, code, rest, j, wrap_f32(rows[j][rest]));
    clear_missing_byte(code, d, j);
  }
}
}  // namespace
}  // namespace exact_avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

namespace exact_portable {
namespace {
inline unsigned lane_mask(const I8& m) {
  unsigned mask = 0;
  for (unsigned j = 0; j < lanes; ++j) mask |= (m[j] != 0 ? 1u : 0u) << j;
  return mask;
}
inline I16 pair_sums(const U32B& v) {
  I16 out;
  for (unsigned j = 0; j < code_lanes; ++j) out[j] = static_cast<int16_t>(v[2 * j] + v[2 * j + 1]);
  return out;
}
inline unsigned pair_mask(const I16& m) {
  unsigned mask = 0;
  for (unsigned j = 0; j < code_lanes; ++j) mask |= (m[j] != 0 ? 3u : 0u) << (2 * j);
  return mask;
}
inline int byte_total(const U32B& v) {
  int sum = 0;
  for (unsigned j = 0; j < 2 * code_lanes; ++j) sum += v[j];
  return sum;
}
#include "index/exact/scan.hpp"
}  // namespace
}  // namespace exact_portable

namespace {

struct Paths {
  void (*knn)(const ScanArgs&, KnnRow&);
  void (*radius)(const ScanArgs&, float, RadiusRow&);
  std::size_t (*reach)(const ScanArgs&, int16_t, std::size_t);
};

Paths scan_paths() {
#if PLOVIK_AVX2_TARGET
  if (cpu_has_avx2())
    return {exact_avx2::knn_tiles, exact_avx2::radius_tiles, exact_avx2::reach_points};
#endif
  return {exact_portable::knn_tiles, exact_portable::radius_tiles, exact_portable::reach_points};
}

// Tiles [begin, end) of the points wrapped and rounded as the index does
// (wrap_f32), eight points each, coordinate-major, into out; the padding
// lanes of the last tile hold 0. With `codes`, each value's byte_code too,
// into the byte tiles there (two tiles to a byte tile, the first of them
// byte tile code_base). With `order`, position i holds point order[i],
// whose rows are fetched `gather_ahead` tiles before they are laid out.
constexpr std::size_t gather_ahead = 16;
void lay_out_tiles(const PointRows& p, std::size_t begin, std::size_t end, float* out,
                   uint8_t* codes = nullptr, std::size_t code_base = 0,
                   const uint32_t* order = nullptr) {
  const std::size_t stride = lanes * p.d, pairs = (p.d + 1) / 2;
#if PLOVIK_AVX2_TARGET
  static const bool wide = cpu_has_avx2();
#endif
  for (std::size_t t = begin; t < end; ++t, out += stride) {
    uint8_t* code =
        codes == nullptr ? nullptr : codes + (t / 2 - code_base) * pairs * 32 + t % 2 * 16;
    const double* rows[lanes];
    for (std::size_t j = 0; j < lanes; ++j) {
      const std::size_t i = t * lanes + j;
      rows[j] = i < p.n ? p.values.data() + (order != nullptr ? order[i] : i) * p.d : nullptr;
    }
    if (order != nullptr && (t + gather_ahead + 1) * lanes <= p.n)
      for (std::size_t j = 0; j < lanes; ++j)
        prefetch_span(p.values.data() + order[(t + gather_ahead) * lanes + j] * p.d, p.d);
#if PLOVIK_AVX2_TARGET
    if (wide && p.d >= 4 && (t + 1) * lanes <= p.n) {
      exact_avx2::lay_out_tile(rows, p.d, out, code);
      continue;
    }
#endif
    for (std::size_t j = 0; j < lanes; ++j) {
      for (std::size_t c = 0; c < p.d; ++c)
        put_value(out, code, c, j, rows[j] != nullptr ? wrap_f32(rows[j][c]) : 0.0f);
      clear_missing_byte(code, p.d, j);
    }
  }
}

// The bytes (byte_code) of queries [begin, end), range_stride(d) each (then
// 0), as range_bound reads them and query_codes lays them out.
Array<uint8_t> query_bytes(const QueryBatch& q, std::size_t begin, std::size_t end) {
  const std::size_t stride = range_stride(q.dq);
  Array<uint8_t> out((end - begin) * stride, 0);
  for (std::size_t i = begin; i < end; ++i)
    for (std::size_t c = 0; c < q.dq; ++c)
      out[(i - begin) * stride + c] = byte_code(wrap_f32(q.row(i)[c]));
  return out;
}

// The bytes of m queries of d coordinates (query_bytes), each laid out as
// a byte tile whose sixteen points are the query.
Array<uint8_t> query_codes(const Array<uint8_t>& bytes, std::size_t m, std::size_t d) {
  const std::size_t pairs = (d + 1) / 2, stride = range_stride(d);
  Array<uint8_t> out(m * pairs * 32, 0);
  for (std::size_t i = 0; i < m; ++i) {
    uint8_t* o = out.data() + i * pairs * 32;
    for (std::size_t c = 0; c < d; ++c)
      for (std::size_t j = 0; j < code_lanes; ++j)
        o[c / 2 * 32 + 2 * j + c % 2] = bytes[i * stride + c];
  }
  return out;
}

// Every tile of the points (lay_out_tiles), and with `coded` their byte
// tiles, made in the same pass; with `coded` and enough points, in their
// spatial order, with the byte ranges of each group (order.hpp).
struct Layout {
  Array<float> tiles;
  Array<uint8_t> codes;
  SpatialOrder spatial;
  Array<uint8_t> ranges;
};

Layout make_tiles(const PointRows& p, bool coded) {
  static_assert(lanes == 8, "tile_count counts tiles of eight");
  static_assert(group_tiles % 2 == 0, "groups of whole byte tiles");
  const std::size_t n_tiles = tile_count(p.n);
  const std::size_t stride = lanes * p.d;
  Layout out{Array<float>(checked_mul(n_tiles, stride)), Array<uint8_t>(), SpatialOrder(),
             Array<uint8_t>()};
  if (coded) out.spatial = spatial_order(p);
  const uint32_t* order = out.spatial.order.empty() ? nullptr : out.spatial.order.data();
  if (coded) out.codes.resize(checked_mul(n_tiles / 2 + n_tiles % 2, (p.d + 1) / 2 * 32));
  const std::size_t pairs = (p.d + 1) / 2;
  constexpr std::size_t chunk = 1024;  // tiles: even, so that byte tiles do not straddle chunks
  parallel::for_chunks(
      n_tiles, chunk, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        lay_out_tiles(p, begin, end, out.tiles.data() + begin * stride,
                      coded ? out.codes.data() : nullptr, 0, order);
        if (coded && end % 2 != 0)  // the last byte tile's second half holds no point
          for (std::size_t q = 0; q < pairs; ++q)
            std::fill_n(out.codes.data() + (end / 2 * pairs + q) * 32 + 16, 16, uint8_t{0});
      });
  if (order != nullptr) out.ranges = group_ranges(out.codes.data(), n_tiles, p.d);
  return out;
}

// How the work is cut: blocks of `per_task` queries (queries_per_task),
// each against `runs` runs of points (more than one only when there are too
// few query blocks to keep every worker busy). Results never depend on it:
// each run gives exact partial answers, merged in the result order.
struct Plan {
  std::size_t m, n_tiles, d;
  std::size_t per_task, query_blocks, runs, run_tiles, block_tiles;
  bool coded;

  // `coded_`: the points are read through their bytes; `rows`: each task
  // lays out the points it scans (exact_knn's rows path).
  Plan(std::size_t m_, std::size_t n, std::size_t d_, std::size_t slots_per_query, bool coded_,
       bool rows = false)
      : m(m_),
        n_tiles(n / lanes + (n % lanes != 0)),
        d(d_),
        per_task(queries_per_task),
        coded(coded_) {
    // Every run of a k-nearest query (slots_per_query > 0) starts from an
    // empty row, whose threshold lets everything through at first: through
    // the bytes, those first tiles cost most of a run. So a coded k-nearest
    // scan of few queries gives each worker fewer queries rather than a run
    // of the points, and splits the points only when there are fewer
    // queries than workers; not where each task lays out what it scans,
    // which would lay out every point once per task.
    const bool whole = coded && slots_per_query > 0 && !rows;
    const std::size_t want = parallel::tasks_per_worker(whole ? 1 : 4);
    if (whole && m > 0) per_task = std::clamp<std::size_t>(m / want + (m % want != 0), 1, per_task);
    query_blocks = m / per_task + (m % per_task != 0);
    runs = 1;
    if (query_blocks > 0 && query_blocks < want) {
      runs = std::min(want / query_blocks + (want % query_blocks != 0),
                      std::max<std::size_t>(n_tiles / min_run_tiles, 1));
      const std::size_t per_run = std::max<std::size_t>(m * slots_per_query, 1);
      runs = std::clamp<std::size_t>(std::min(runs, max_partial_slots / per_run), 1, runs);
    }
    run_tiles = n_tiles / runs + (n_tiles % runs != 0);
    // With byte coordinates a block is read through its bytes, a quarter of
    // its floats, and the floats of few tiles: blocks sixteen times as large
    // (their bytes, 64 KiB, stay in the second-level cache), so that each
    // query's call per block is made a sixteenth as often.
    block_tiles = std::max<std::size_t>(
                      tile_block_bytes / (lanes * sizeof(float) * std::max<std::size_t>(d, 1)), 1) *
                  (coded ? 16 : 1);
  }
  std::size_t tasks() const { return query_blocks * runs; }
  std::size_t query_begin(std::size_t task) const { return task / runs * per_task; }
  std::size_t query_end(std::size_t task) const {
    return std::min(query_begin(task) + per_task, m);
  }
  std::size_t run(std::size_t task) const { return task % runs; }
  std::size_t tile_begin(std::size_t task) const {
    return std::min(run(task) * run_tiles, n_tiles);
  }
  std::size_t tile_end(std::size_t task) const {
    return std::min(tile_begin(task) + run_tiles, n_tiles);
  }
};

// The task's queries wrapped as the index wraps a query, each coordinate
// broadcast to eight lanes.
Array<float> broadcast_queries(const QueryBatch& q, std::size_t begin, std::size_t end) {
  Array<float> out((end - begin) * q.dq * lanes);
  float* o = out.data();
  for (std::size_t i = begin; i < end; ++i) {
    const double* row = q.row(i);
    for (std::size_t c = 0; c < q.dq; ++c, o += lanes) std::fill_n(o, lanes, wrap_f32(row[c]));
  }
  return out;
}

// Each axis weight of the metric broadcast to eight lanes (empty without
// weights).
Array<float> broadcast_weights(const Metric& m) {
  Array<float> out(m.weights.size() * lanes);
  for (std::size_t c = 0; c < m.weights.size(); ++c)
    std::fill_n(out.data() + c * lanes, lanes, m.weights[c]);
  return out;
}

// Calls scan(row i, args) for each query of the task, block of tiles by
// block of tiles. A task can be long (its queries against every point), so
// it looks for an interrupt after each block. With `rows`, the points are
// not laid out (points.tiles is empty): each block is laid out from the
// rows into the task's own buffer just before its queries scan it, the
// same values as the laid-out tiles.
//
// With `seed` (k-nearest rows) and the groups' ranges, each query first
// scans the group of the task's run its own key falls in (group_of_key),
// which gives its row a threshold near its own k-th distance before any
// other group is met, and then every other group: each point is still
// met once.
template <class Scan>
void for_task_tiles(const Plan& plan, const ExactTiles& points, const Array<float>& weights,
                    const QueryBatch& q, std::size_t task, Scan&& scan,
                    const PointRows* rows = nullptr, bool seed = false) {
  const std::size_t q0 = plan.query_begin(task), q1 = plan.query_end(task);
  const Array<float> queries = broadcast_queries(q, q0, q1);
  const bool coded = plan.coded;
  const Array<uint8_t> qbytes = coded ? query_bytes(q, q0, q1) : Array<uint8_t>();
  const Array<uint8_t> qcodes = coded ? query_codes(qbytes, q1 - q0, plan.d) : Array<uint8_t>();
  const std::size_t qcode_bytes = (plan.d + 1) / 2 * 32;
  const bool ranged = coded && rows == nullptr && !points.ranges.empty();
  Array<float> block(rows != nullptr ? plan.block_tiles * lanes * plan.d : 0);
  // Laid out block by block, the byte tiles of a block (its first and last
  // may be half its own; the other halves are never read for a point).
  Array<uint8_t> block_codes(
      rows != nullptr && coded ? (plan.block_tiles / 2 + 2) * qcode_bytes : 0, 0);
  ScanArgs a{points.tiles.data(),
             plan.d,
             0,
             0,
             0,
             points.n,
             nullptr,
             -1,
             term_kind(points.metric),
             weights.data(),
             coded ? points.codes.data() : nullptr,
             nullptr,
             points.spatial.order.empty() ? nullptr : points.spatial.order.data(),
             ranged ? points.ranges.data() : nullptr,
             nullptr,
             no_group};
  auto set_query = [&](std::size_t i) {
    a.query = queries.data() + (i - q0) * plan.d * lanes;
    if (coded) a.qcodes = qcodes.data() + (i - q0) * qcode_bytes;
    if (ranged) a.qbytes = qbytes.data() + (i - q0) * range_stride(plan.d);
    a.excluded = q.excluded(i);
  };
  const std::size_t begin = plan.tile_begin(task), end = plan.tile_end(task);
  Array<std::size_t> seeded(q1 - q0, no_group);
  if (ranged && seed && begin < end) {
    const std::size_t g0 = begin / group_tiles, g1 = (end - 1) / group_tiles + 1;
    for (std::size_t i = q0; i < q1; ++i) {
      set_query(i);
      const std::size_t g = group_of_key(points.spatial, points.spatial.key.of(q.row(i)), g0, g1);
      a.tile_begin = std::max(g * group_tiles, begin);
      a.tile_end = std::min((g + 1) * group_tiles, end);
      scan(i - q0, a);
      seeded[i - q0] = g;
    }
  }
  for (std::size_t t = begin; t < end; t += plan.block_tiles) {
    a.tile_begin = t;
    a.tile_end = std::min(t + plan.block_tiles, end);
    if (rows != nullptr) {
      lay_out_tiles(*rows, a.tile_begin, a.tile_end, block.data(),
                    coded ? block_codes.data() : nullptr, a.tile_begin / 2);
      a.tiles = block.data();
      a.tile_base = a.tile_begin;
      if (coded) a.codes = block_codes.data();
    }
    for (std::size_t i = q0; i < q1; ++i) {
      set_query(i);
      a.skip_group = seeded[i - q0];
      scan(i - q0, a);
    }
    parallel::check_interrupt();
  }
}

}  // namespace

void validate_exact(std::size_t d, std::size_t m, std::size_t dq,
                    std::optional<std::size_t> n_exclude) {
  if (dq != d)
    throw InvalidArgument("queries have " + std::to_string(dq) +
                          " columns but the points have d = " + std::to_string(d));
  if (n_exclude && *n_exclude < m)
    throw Panic("exclude_ids holds " + std::to_string(*n_exclude) + " entries but there are " +
                std::to_string(m) + " queries");
}

void validate_exact_knn(std::size_t d, std::size_t m, std::size_t dq,
                        std::optional<std::size_t> n_exclude, std::size_t k) {
  validate_exact(d, m, dq, n_exclude);
  // As query_knn: the rows become (m, k) arrays of eight-byte values.
  if (checked_mul(std::max<std::size_t>(m, 1), std::max<std::size_t>(k, 1)) > max_result_cells)
    throw std::bad_alloc();
}

ExactTiles exact_tiles(const PointRows& points, Metric metric) {
  validate_metric(metric, points.d);
  Layout layout = make_tiles(points, has_codes(metric, points.d));
  return ExactTiles{std::move(layout.tiles),
                    points.n,
                    points.d,
                    std::move(metric),
                    std::move(layout.codes),
                    std::move(layout.spatial),
                    std::move(layout.ranges)};
}

namespace {
ExactKnnResult knn_scan(const ExactTiles& points, const QueryBatch& q, std::size_t k,
                        const PointRows* source);
}  // namespace

ExactKnnResult exact_knn(const PointRows& points, const QueryBatch& q, std::size_t k) {
  validate_exact_knn(points.d, q.m, q.dq, q.exclude_size(), k);
  if (k == 0 || q.m == 0 || points.n == 0)
    return exact_knn(ExactTiles{{}, points.n, points.d, {}, {}}, q, k);
  // One block of queries reads each tile once: laid out block by block as
  // it is scanned, the points are never copied whole (the same rows).
  if (q.m <= queries_per_task)
    return knn_scan(ExactTiles{{}, points.n, points.d, {}, {}}, q, k, &points);
  return exact_knn(exact_tiles(points), q, k);
}

ExactKnnResult exact_knn(const ExactTiles& points, const QueryBatch& q, std::size_t k) {
  return knn_scan(points, q, k, nullptr);
}

namespace {
// exact_knn over laid-out points, or (`source`) over rows laid out block
// by block as the scan meets them (points.tiles empty).
ExactKnnResult knn_scan(const ExactTiles& points, const QueryBatch& q, std::size_t k,
                        const PointRows* source) {
  validate_exact_knn(points.d, q.m, q.dq, q.exclude_size(), k);
  const std::size_t m = q.m, cells = m * k;
  ExactKnnResult r;
  r.idx.assign(cells, -1);
  r.dist.assign(cells, std::numeric_limits<double>::infinity());
  if (k == 0 || m == 0 || points.n == 0) return r;

  validate_metric(points.metric, points.d);
  const Paths paths = scan_paths();
  const Array<float> weights = broadcast_weights(points.metric);
  const bool l2 = points.metric.kind == MetricKind::l2;
  // A row never holds more than n entries.
  const std::size_t keep = std::min(k, points.n);
  // Rows laid out block by block get their bytes there too (plain L1).
  const bool coded = source == nullptr ? !points.codes.empty() : has_codes(points.metric, points.d);
  const Plan plan(m, points.n, points.d, keep, coded, source != nullptr);
  // With several runs per query block, the sorted partial rows of run r:
  // query i's at ((r * m) + i) * keep, its length in part_len.
  Array<Slot> parts;
  Array<std::size_t> part_len;
  if (plan.runs > 1) {
    parts.resize(checked_mul(plan.runs * m, keep));
    part_len.resize(plan.runs * m);
  }
  parallel::for_each(plan.tasks(), [&](std::size_t task) {
    const std::size_t q0 = plan.query_begin(task), rows = plan.query_end(task) - q0;
    Array<Slot> heaps(rows * keep, Slot{0, 0});
    std::vector<KnnRow> state(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      state[i] = KnnRow{heaps.data() + i * keep, keep, 0, 0, l2, !points.spatial.order.empty()};
      set_threshold(state[i]);
    }
    for_task_tiles(
        plan, points, weights, q, task,
        [&](std::size_t i, const ScanArgs& a) { paths.knn(a, state[i]); }, source, true);
    for (std::size_t i = 0; i < rows; ++i) {
      sort_slots(state[i].heap, state[i].len);
      if (plan.runs == 1) {
        write_row(state[i].heap, state[i].len, r.idx.data() + (q0 + i) * k,
                  r.dist.data() + (q0 + i) * k);
      } else {
        const std::size_t at = plan.run(task) * m + q0 + i;
        std::copy_n(state[i].heap, state[i].len, parts.data() + at * keep);
        part_len[at] = state[i].len;
      }
    }
  });
  if (plan.runs > 1) {
    parallel::for_chunks(
        m, 8, [&] { return Array<Slot>(); },
        [&](Array<Slot>& merged, std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) {
            merged.clear();
            for (std::size_t run = 0; run < plan.runs; ++run) {
              const Slot* part = parts.data() + (run * m + i) * keep;
              merged.insert(merged.end(), part, part + part_len[run * m + i]);
            }
            const std::size_t len = std::min(keep, merged.size());
            std::partial_sort(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(len),
                              merged.end(),
                              [](const Slot& x, const Slot& y) { return before(x, y); });
            write_row(merged.data(), len, r.idx.data() + i * k, r.dist.data() + i * k);
          }
        });
  }
  return r;
}
}  // namespace

Array<int64_t> exact_reach(const ExactTiles& points, const QueryBatch& q,
                           std::span<const double> limits) {
  validate_exact(points.d, q.m, q.dq, q.exclude_size());
  if (limits.size() != q.m)
    throw InvalidArgument("limits holds " + std::to_string(limits.size()) +
                          " values but there are " + std::to_string(q.m) + " queries");
  Array<int64_t> out(q.m, static_cast<int64_t>(points.n));
  if (points.ranges.empty() || q.m == 0) return out;
  const Paths paths = scan_paths();
  parallel::for_chunks(
      q.m, 16, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        const Array<uint8_t> qbytes = query_bytes(q, begin, end);
        ScanArgs a{};
        a.d = points.d;
        a.ranges = points.ranges.data();
        for (std::size_t i = begin; i < end; ++i) {
          a.qbytes = qbytes.data() + (i - begin) * range_stride(points.d);
          const int16_t bound = code_bound(static_cast<float>(limits[i]), points.d);
          out[i] = bound < 0 ? 0 : static_cast<int64_t>(paths.reach(a, bound, points.n));
        }
      });
  return out;
}

RadiusResult exact_radius(const PointRows& points, const QueryBatch& q, double radius) {
  validate_exact(points.d, q.m, q.dq, q.exclude_size());
  if (q.m == 0 || points.n == 0)
    return exact_radius(ExactTiles{{}, points.n, points.d, {}, {}}, q, radius);
  return exact_radius(exact_tiles(points), q, radius);
}

RadiusResult exact_radius(const ExactTiles& points, const QueryBatch& q, double radius) {
  validate_exact(points.d, q.m, q.dq, q.exclude_size());
  validate_metric(points.metric, points.d);
  // Rounded once, as query_radius rounds it (beyond the float range to
  // infinity; a NaN cutoff stays NaN and nothing passes it), then made the
  // cutoff on the sums that selects the same distances.
  const float cutoff = metric_sum_cutoff(points.metric.kind, static_cast<float>(radius));
  const std::size_t m = q.m;
  RadiusResult r;
  r.indptr.assign(checked_add(m, 1), 0);
  if (m == 0 || points.n == 0) return r;

  const Paths paths = scan_paths();
  const Array<float> weights = broadcast_weights(points.metric);
  const Plan plan(m, points.n, points.d, 0, !points.codes.empty());
  // Each task's hits, query by query in ascending id order, and how many
  // belong to each of its queries.
  struct Run {
    Array<Slot> hits;
    Array<std::size_t> counts;
  };
  std::vector<Run> runs(plan.tasks());
  parallel::for_each(plan.tasks(), [&](std::size_t task) {
    const std::size_t q0 = plan.query_begin(task), rows = plan.query_end(task) - q0;
    std::vector<RadiusRow> hits(rows);
    for_task_tiles(plan, points, weights, q, task,
                   [&](std::size_t i, const ScanArgs& a) { paths.radius(a, cutoff, hits[i]); });
    Run& run = runs[task];
    run.counts.resize(rows);
    std::size_t total = 0;
    for (std::size_t i = 0; i < rows; ++i) total += (run.counts[i] = hits[i].size());
    run.hits.reserve(total);
    for (const RadiusRow& h : hits) run.hits.insert(run.hits.end(), h.begin(), h.end());
  });

  int64_t* counts = r.indptr.data() + 1;
  for (std::size_t task = 0; task < plan.tasks(); ++task) {
    const std::size_t q0 = plan.query_begin(task);
    for (std::size_t i = 0; i < runs[task].counts.size(); ++i)
      counts[q0 + i] += static_cast<int64_t>(runs[task].counts[i]);
  }
  for (std::size_t i = 0; i < m; ++i) r.indptr[i + 1] += r.indptr[i];
  const auto total = static_cast<std::size_t>(r.indptr[m]);
  r.ids.resize(total);
  r.dists.resize(total);
  // Each query's pieces, run by run, sorted into place; one task per block
  // of queries.
  parallel::for_each(plan.query_blocks, [&](std::size_t block) {
    const std::size_t q0 = block * plan.per_task;
    const std::size_t rows = std::min(plan.per_task, m - q0);
    Array<std::size_t> offset(plan.runs, 0);
    Array<Slot> row;
    for (std::size_t i = 0; i < rows; ++i) {
      row.clear();
      for (std::size_t run = 0; run < plan.runs; ++run) {
        const Run& piece = runs[block * plan.runs + run];
        const Slot* from = piece.hits.data() + offset[run];
        row.insert(row.end(), from, from + piece.counts[i]);
        offset[run] += piece.counts[i];
      }
      sort_slots(row.data(), row.size());
      const auto at = static_cast<std::size_t>(r.indptr[q0 + i]);
      write_row(row.data(), row.size(), r.ids.data() + at, r.dists.data() + at);
    }
  });
  return r;
}

bool exact_tile_distances(const float* query, const float* tile, std::size_t d, bool avx2,
                          float* out, const Metric& metric) {
  validate_metric(metric, d);
  Array<float> broadcast(d * lanes);
  for (std::size_t c = 0; c < d; ++c) std::fill_n(broadcast.data() + c * lanes, lanes, query[c]);
  const Array<float> weights = broadcast_weights(metric);
  const int kind = term_kind(metric);
  if (avx2) {
#if PLOVIK_AVX2_TARGET
    if (!cpu_has_avx2()) return false;
    exact_avx2::tile_sums(broadcast.data(), tile, weights.data(), kind, d, out);
    return true;
#else
    return false;
#endif
  }
  exact_portable::tile_sums(broadcast.data(), tile, weights.data(), kind, d, out);
  return true;
}

}  // namespace plovik
