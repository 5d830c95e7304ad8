#include "index/exact/order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "index/exact/exact.hpp"
#include "index/hash/keys.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

using Bytes32 = uint8_t __attribute__((vector_size(32)));

// Keys of up to 16 bits: about one cell per sixteen points, so that a
// group spans a few cells.
constexpr std::size_t max_key_bits = 16, min_key_bits = 8, points_per_cell = 16;
constexpr std::size_t max_key_coordinates = 8;
// The key is chosen on an evenly spaced sample of the points.
constexpr std::size_t key_sample = 1024;
// The points are ordered only when the sample crowds into few of the
// key's cells: its participation ratio (sum c)^2 / sum c^2 over the cells'
// counts c at most this share of what evenly spread points would give
// (as many cells as points when the cells are many, fewer when not).
// Points spread over every cell (uniform in several dimensions) leave
// groups as wide as the data, which no query's bound excludes. Points
// whose variance lies in a few coordinates (at most `few_dimensions` by
// its participation ratio) are ordered anyway: in so few dimensions a
// group's extent is small beside its points' neighbour distances.
constexpr double crowded_share = 0.5;
constexpr double few_dimensions = 4.5;
// Rows of fewer than four coordinates cost one random memory access each
// to gather into the order, several times what laying them out costs
// (10^6 points in d = 3: about 30 ms against 8), more than the tuning's
// queries save; a grid (plovik.grid) answers such points faster still.
constexpr std::size_t min_ordered_d = 4;

std::vector<const double*> sample_rows(const PointRows& p) {
  const std::size_t step = std::max<std::size_t>(p.n / key_sample, 1);
  std::vector<const double*> rows;
  for (std::size_t i = 0; i < p.n; i += step) rows.push_back(p.values.data() + i * p.d);
  return rows;
}

// Up to `most` coordinates of the largest variance over the sample (ties:
// the lower coordinate first), and the participation ratio of the
// coordinates' variances (sum v)^2 / sum v^2: how many dimensions the
// points spread in.
struct Spread {
  std::vector<std::size_t> coords;
  double dimensions = 0.0;
};

Spread spread_coordinates(const std::vector<const double*>& sample, std::size_t d,
                          std::size_t most) {
  std::vector<double> sum(d, 0.0), square(d, 0.0);
  const auto count = static_cast<double>(sample.size());
  for (const double* row : sample) {
    for (std::size_t c = 0; c < d; ++c) {
      // a non-finite value (which the scan takes too) counts as 0, so that
      // every variance compares
      const double x = std::isfinite(row[c]) ? static_cast<double>(wrap_f32(row[c])) : 0.0;
      sum[c] += x;
      square[c] += x * x;
    }
  }
  std::vector<double> variance(d);
  double total = 0.0, squares = 0.0;
  for (std::size_t c = 0; c < d; ++c) {
    const double mean = sum[c] / count;
    variance[c] = std::max(square[c] / count - mean * mean, 0.0);
    total += variance[c];
    squares += variance[c] * variance[c];
  }
  Spread out;
  out.dimensions = squares > 0.0 ? total * total / squares : 0.0;
  out.coords.resize(d);
  std::iota(out.coords.begin(), out.coords.end(), std::size_t{0});
  std::stable_sort(out.coords.begin(), out.coords.end(),
                   [&](std::size_t a, std::size_t b) { return variance[a] > variance[b]; });
  out.coords.resize(std::min(d, most));
  return out;
}

// Whether the sample crowds into few of the key's cells (crowded_share).
bool crowded(const SpatialKey& key, const std::vector<const double*>& sample) {
  std::vector<uint16_t> keys;
  keys.reserve(sample.size());
  for (const double* row : sample) keys.push_back(key.of(row));
  std::sort(keys.begin(), keys.end());
  double squares = 0.0;
  for (std::size_t i = 0, j = 0; i < keys.size(); i = j) {
    while (j < keys.size() && keys[j] == keys[i]) ++j;
    squares += static_cast<double>(j - i) * static_cast<double>(j - i);
  }
  const auto m = static_cast<double>(keys.size());
  const double cells = std::ldexp(1.0, static_cast<int>(key.bits * key.used));
  // evenly spread, m points fall into m / (1 + (m - 1) / cells) cells' worth
  return m * m / squares <= crowded_share * m / (1.0 + (m - 1.0) / cells);
}

}  // namespace

uint16_t SpatialKey::of(const double* row) const {
  // Any cell function would give the same rows (the order only decides
  // what the scan passes over): truncation is exact on [0, 1), wraps
  // other values about as floor would, and leaves non-finite ones in cell 0.
  const double cells = static_cast<double>(std::size_t{1} << bits);
  const auto mask = static_cast<int64_t>((std::size_t{1} << bits) - 1);
  uint32_t k = 0;
  for (std::size_t j = 0; j < used; ++j) {
    const double x = row[coords[j]] * cells;
    const int64_t cell = std::fabs(x) < 9.0e15 ? static_cast<int64_t>(x) & mask : 0;
    k |= static_cast<uint32_t>(spread[static_cast<std::size_t>(cell)]) << (used - 1 - j);
  }
  return static_cast<uint16_t>(k);
}

SpatialOrder spatial_order(const PointRows& p) {
  SpatialOrder out;
  if (p.n < ordered_from || p.n > UINT32_MAX || p.d == 0) return out;
  if (p.d < min_ordered_d) return out;
  const std::size_t key_bits = std::clamp<std::size_t>(
      static_cast<std::size_t>(std::bit_width(p.n / points_per_cell)), min_key_bits, max_key_bits);
  const std::vector<const double*> sample = sample_rows(p);
  const Spread spread =
      spread_coordinates(sample, p.d, std::min(max_key_coordinates, key_bits / 2));
  const std::vector<std::size_t>& coords = spread.coords;
  out.key.used = coords.size();
  out.key.bits = std::min<std::size_t>(key_bits / coords.size(), 8);
  std::copy(coords.begin(), coords.end(), out.key.coords.begin());
  for (uint32_t cell = 0; cell < (uint32_t{1} << out.key.bits); ++cell)
    for (std::size_t b = 0; b < out.key.bits; ++b)
      out.key.spread[cell] |= static_cast<uint16_t>((cell >> b & 1u) << (b * out.key.used));
  if (spread.dimensions > few_dimensions && !crowded(out.key, sample)) return SpatialOrder();
  // A counting sort in slices of the points, one per worker (being
  // stable, it gives the one order of (key, id) on any thread count): each
  // slice's keys and counts, the start of each (key, slice), then each
  // slice placed.
  const std::size_t buckets = std::size_t{1} << (out.key.bits * out.key.used);
  const std::size_t parts = std::clamp<std::size_t>(parallel::thread_count(), 1, 16);
  const std::size_t per_part = p.n / parts + (p.n % parts != 0);
  Array<uint16_t> key(p.n);
  Array<uint32_t> start(parts * buckets, 0);
  parallel::for_each(parts, [&](std::size_t part) {
    uint32_t* count = start.data() + part * buckets;
    const std::size_t end = std::min(p.n, (part + 1) * per_part);
    for (std::size_t i = part * per_part; i < end; ++i)
      ++count[key[i] = out.key.of(p.values.data() + i * p.d)];
  });
  std::vector<uint32_t> base(buckets, 0);
  for (std::size_t part = 0; part < parts; ++part)
    for (std::size_t b = 0; b < buckets; ++b) base[b] += start[part * buckets + b];
  uint32_t at = 0;
  for (uint32_t& b : base) at += std::exchange(b, at);
  for (std::size_t part = 0; part < parts; ++part)
    for (std::size_t b = 0; b < buckets; ++b)
      base[b] += std::exchange(start[part * buckets + b], base[b]);
  out.order.resize(p.n);
  parallel::for_each(parts, [&](std::size_t part) {
    uint32_t* next = start.data() + part * buckets;
    const std::size_t end = std::min(p.n, (part + 1) * per_part);
    for (std::size_t i = part * per_part; i < end; ++i)
      out.order[next[key[i]]++] = static_cast<uint32_t>(i);
  });
  constexpr std::size_t group_points = group_tiles * 8;
  out.group_keys.resize(p.n / group_points + (p.n % group_points != 0));
  for (std::size_t g = 0; g < out.group_keys.size(); ++g)
    out.group_keys[g] = key[out.order[g * group_points]];
  return out;
}

std::size_t group_of_key(const SpatialOrder& o, uint16_t key, std::size_t g0, std::size_t g1) {
  const uint16_t* first = o.group_keys.data();
  const uint16_t* at = std::upper_bound(first + g0, first + g1, key);
  return at == first + g0 ? g0 : static_cast<std::size_t>(at - first) - 1;
}

Array<uint8_t> group_ranges(const uint8_t* codes, std::size_t n_tiles, std::size_t d) {
  constexpr std::size_t code_tiles = group_tiles / 2;
  const std::size_t pairs = (d + 1) / 2, stride = range_stride(d);
  const std::size_t n_codes = n_tiles / 2 + n_tiles % 2;
  const std::size_t groups = n_codes / code_tiles + (n_codes % code_tiles != 0);
  Array<uint8_t> out(checked_mul(groups, 2 * stride));
  parallel::for_chunks(
      groups, 64, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
          uint8_t* lo = out.data() + g * 2 * stride;
          uint8_t* hi = lo + stride;
          std::fill_n(lo, stride, uint8_t{0});
          std::fill_n(hi, stride, uint8_t{255});
          const std::size_t first = g * code_tiles, last = std::min(first + code_tiles, n_codes);
          for (std::size_t p = 0; p < pairs; ++p) {
            // Per lane of the byte tiles (sixteen points, two coordinates
            // each) the lowest and highest over the group, then over lanes.
            Bytes32 low, high;
            std::memcpy(&low, codes + (first * pairs + p) * 32, sizeof low);
            high = low;
            for (std::size_t bt = first + 1; bt < last; ++bt) {
              Bytes32 v;
              std::memcpy(&v, codes + (bt * pairs + p) * 32, sizeof v);
              low = v < low ? v : low;
              high = v > high ? v : high;
            }
            for (std::size_t h = 0; h < 2 && 2 * p + h < d; ++h) {
              uint8_t l = 255, u = 0;
              for (std::size_t j = h; j < 32; j += 2) {
                l = std::min(l, low[j]);
                u = std::max(u, high[j]);
              }
              lo[2 * p + h] = l;
              hi[2 * p + h] = u;
            }
          }
        }
      });
  return out;
}

}  // namespace plovik
