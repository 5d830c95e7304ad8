// The scan loops of the exact search, for one instruction set. No include
// guard on purpose: exact.cpp includes this file twice, inside the AVX2
// region (namespace exact_avx2) and for the portable path (namespace
// exact_portable), after declaring what it uses: the vector types V8 and I8
// (eight floats / eight int32, GCC vector extensions), U32B and I16 (the
// byte coordinates), lane_mask(I8), pair_sums and pair_mask for this
// instruction set, ScanArgs, KnnRow, RadiusRow, admit_knn, admit_radius,
// the term kinds (l1_plain .. l2_weighted) and the byte bounds
// (max_code_sum, code_bound, knn_code_bound), byte_total. It includes nothing itself.
//
// One source for both paths, so that their sums are the same expressions:
// every operation on a V8 is one IEEE single-precision operation per lane,
// and the compiler may not reassociate them (-ffp-contract=off, no
// fast-math).

[[gnu::always_inline]] inline V8 load8(const float* p) {
  V8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The term of coordinate c for the eight points of a tile: a = |q - p|,
// then t = a < 1 - a ? a : 1 - a, as torus_term; times the axis's weight
// (broadcast in weights[8 c ..]) for the weighted kinds, squared for L2, as
// metric_sum_f32's terms.
template <int Kind>
[[gnu::always_inline]] inline V8 term8(const float* query, const float* tile, const float* weights,
                                       std::size_t c) {
  const V8 diff = load8(query + 8 * c) - load8(tile + 8 * c);
  const V8 a = reinterpret_cast<V8>(reinterpret_cast<I8>(diff) & 0x7fffffff);
  const V8 om = 1.0f - a;
  V8 t = a < om ? a : om;
  if constexpr (Kind == l1_weighted || Kind == l2_weighted) t = t * load8(weights + 8 * c);
  if constexpr (Kind == l2_plain || Kind == l2_weighted) t = t * t;
  return t;
}

// The eight distances, lane j summing point j's terms in the association of
// torus_l1_f32 (and metric_sum_f32): sixteen coordinates at a time into the accumulators A0..A3
// (lane l of Ag holds coordinates 16 i + 4 g + l), folded per lane l as
// ((A0 + A1) + A2) + A3 and then (S0 + S1) + (S2 + S3); the remaining whole
// groups of four into lanes seeded (s, 0, 0, 0), folded the same way; the
// last coordinates one by one as s = term + s. Each accumulator lane is
// summed as its own chain, here one vector per chain. A chain seeded with
// 0 starts at its first term instead: 0 + t is t bit for bit, since a term
// is never -0 (|q - p| >= +0, 1 - a >= +0 for a <= 1, weights are positive
// and a square is >= +0) and a NaN keeps its bits.
//
// In sixteen coordinates or more, half of them are summed first: S0 + S1,
// an operand of the final sum. Every term is >= +0 and rounding is
// monotone, so adding a term never lowers a sum: no lane's distance is
// below its half sum. When `far(half)` says every lane's half is already
// beyond what the caller takes, the rest is not summed and distances8
// returns false (`out` unset); otherwise `out` is the eight distances, the
// same bits as without the check. (In fewer coordinates the check cost
// more than the terms it saved.)
template <std::size_t Dim, int Kind, class Far>
[[gnu::always_inline]] inline bool distances8(const float* query, const float* tile,
                                              const float* weights, std::size_t d, Far&& far,
                                              V8& out) {
  const std::size_t D = Dim > 0 ? Dim : d;
  V8 s = {};
  std::size_t c = 0;
  if (D >= 16) {
    const std::size_t rounds = D / 16;
    V8 S[4];
    for (std::size_t l = 0; l < 4; ++l) {
      if (l == 2) {
        if (far(S[0] + S[1])) return false;
      }
      V8 A[4];
      for (std::size_t g = 0; g < 4; ++g) {
        V8 acc = term8<Kind>(query, tile, weights, 4 * g + l);
        for (std::size_t r = 1; r < rounds; ++r)
          acc = acc + term8<Kind>(query, tile, weights, 16 * r + 4 * g + l);
        A[g] = acc;
      }
      S[l] = ((A[0] + A[1]) + A[2]) + A[3];
    }
    s = (S[0] + S[1]) + (S[2] + S[3]);
    c = 16 * rounds;
  }
  if (D - c >= 4) {
    const std::size_t groups = (D - c) / 4;
    V8 B[4];
    B[0] =
        D >= 16 ? s + term8<Kind>(query, tile, weights, c) : term8<Kind>(query, tile, weights, c);
    for (std::size_t l = 1; l < 4; ++l) B[l] = term8<Kind>(query, tile, weights, c + l);
    for (std::size_t g = 1; g < groups; ++g)
      for (std::size_t l = 0; l < 4; ++l)
        B[l] = B[l] + term8<Kind>(query, tile, weights, c + 4 * g + l);
    s = (B[0] + B[1]) + (B[2] + B[3]);
    c += 4 * groups;
  }
  for (; c < D; ++c) s = term8<Kind>(query, tile, weights, c) + s;
  out = s;
  return true;
}

// The query's byte distance to group g's ranges (a.ranges, a.qbytes): per
// coordinate 0 when its byte lies in [low, high], else the nearer of the
// two ways round to the range, min(low - q, q - high) mod 256 (at most
// 128). A point of the group has a byte in the range, and the toroidal
// difference of two bytes is at least the distance from one to a range
// holding the other (any way round passes an end of the range): so the sum
// is at most the byte sum of every point of the group.
[[gnu::always_inline]] inline int range_bound(const ScanArgs& a, std::size_t g) {
  const std::size_t stride = range_stride(a.d);
  const uint8_t* low = a.ranges + g * 2 * stride;
  const uint8_t* high = low + stride;
  int sum = 0;
  for (std::size_t c = 0; c < stride; c += 32) {
    U32B lo, hi, q;
    std::memcpy(&lo, low + c, sizeof lo);
    std::memcpy(&hi, high + c, sizeof hi);
    std::memcpy(&q, a.qbytes + c, sizeof q);
    const U32B inside = reinterpret_cast<U32B>((q >= lo) & (q <= hi));
    const U32B up = lo - q, down = q - hi;
    sum += byte_total((up < down ? up : down) & ~inside);
  }
  return sum;
}

// How many of the n points lie in the groups whose range_bound is within `bound`.
std::size_t reach_points(const ScanArgs& a, int16_t bound, std::size_t n) {
  constexpr std::size_t group_points = group_tiles * 8;
  const std::size_t groups = n / group_points + (n % group_points != 0);
  std::size_t points = 0;
  for (std::size_t g = 0; g < groups; ++g)
    if (range_bound(a, g) <= bound) points += std::min(group_points, n - g * group_points);
  return points;
}

// Calls visit(t), in order, for the tiles t of [a.tile_begin, a.tile_end)
// that may hold a point whose byte sum against the query (a.codes from
// byte tile a.tile_base / 2 on, a.qcodes; see byte_code in exact.cpp) is
// within bound(), asked before
// each byte tile: max_code_sum lets every tile through unsummed, below 0
// none (the scan of the range ends). With a.ranges, a whole group of
// tiles whose range_bound exceeds bound() is passed over, and so is group
// a.skip_group.
template <std::size_t Dim, class Bound, class Visit>
[[gnu::always_inline]] inline void coded_tiles(const ScanArgs& a, Bound&& bound, Visit&& visit) {
  const std::size_t pairs = ((Dim > 0 ? Dim : a.d) + 1) / 2;
  const std::size_t first = a.tile_begin / 2, last = (a.tile_end + 1) / 2;
  constexpr std::size_t group_codes = group_tiles / 2;
  const uint8_t* codes = a.codes + (first - a.tile_base / 2) * pairs * 32;
  const bool ranged = a.ranges != nullptr;
  for (std::size_t bt = first; bt < last; ++bt, codes += pairs * 32) {
    const int16_t b = bound();
    if (b < 0) return;
    if (ranged && (bt == first || bt % group_codes == 0)) {
      const std::size_t g = bt / group_codes;
      if (g == a.skip_group || (b < max_code_sum && range_bound(a, g) > b)) {
        const std::size_t next = std::min((g + 1) * group_codes, last);
        codes += (next - 1 - bt) * pairs * 32;
        bt = next - 1;
        continue;
      }
    }
    unsigned mask = ~0u;
    if (b < max_code_sum) {
      I16 acc = {};
      for (std::size_t p = 0; p < pairs; ++p) {
        U32B x, y;
        std::memcpy(&x, codes + 32 * p, sizeof x);
        std::memcpy(&y, a.qcodes + 32 * p, sizeof y);
        const U32B u = x - y, v = y - x;
        acc += pair_sums(u < v ? u : v);
      }
      const I16 limit = I16{} + b;
      mask = pair_mask(acc <= limit);
    }
    for (std::size_t h = 0; h < 2; ++h) {
      const std::size_t t = 2 * bt + h;
      if (((mask >> (16 * h)) & 0xffffu) != 0 && t >= a.tile_begin && t < a.tile_end) visit(t);
    }
  }
}

// The tiles [a.tile_begin, a.tile_end) against one query's k best so far:
// one vector compare per tile of the sums against the row's threshold (on
// the sums: see set_threshold), admission only for the lanes that pass it;
// a tile whose half sums are all past the threshold is left there, and with
// byte coordinates a tile whose byte sums are all past the threshold's
// bound is not summed.
template <std::size_t Dim, int Kind>
void knn_loop(const ScanArgs& a, KnnRow& row) {
  const std::size_t stride = 8 * (Dim > 0 ? Dim : a.d);
  auto far = [&](const V8& half) { return lane_mask(reinterpret_cast<I8>(half) <= row.thr) == 0; };
  auto scan_tile = [&](std::size_t t) {
    V8 dist;
    const float* tile = a.tiles + (t - a.tile_base) * stride;
    if (!distances8<Dim, Kind>(a.query, tile, a.weights, a.d, far, dist)) return;
    const unsigned mask = lane_mask(reinterpret_cast<I8>(dist) <= row.thr);
    if (mask != 0) [[unlikely]] {
      float lanes[8];
      std::memcpy(lanes, &dist, sizeof lanes);
      admit_knn(row, mask, lanes, 8 * t, a);
    }
  };
  if constexpr (Kind == l1_plain) {
    if (a.codes != nullptr) {
      const std::size_t d = Dim > 0 ? Dim : a.d;
      int32_t seen = row.thr;
      int16_t b = knn_code_bound(seen, d);
      auto bound = [&] {
        if (row.thr != seen) b = knn_code_bound(seen = row.thr, d);
        return b;
      };
      coded_tiles<Dim>(a, bound, scan_tile);
      return;
    }
  }
  for (std::size_t t = a.tile_begin; t < a.tile_end; ++t) scan_tile(t);
}

// The same for a radius: the lanes whose sum is within the cutoff on the
// sums (metric_sum_cutoff; a NaN never is).
template <std::size_t Dim, int Kind>
void radius_loop(const ScanArgs& a, float cutoff, RadiusRow& row) {
  const std::size_t stride = 8 * (Dim > 0 ? Dim : a.d);
  auto far = [&](const V8& half) { return lane_mask(half <= cutoff) == 0; };
  auto scan_tile = [&](std::size_t t) {
    V8 dist;
    const float* tile = a.tiles + (t - a.tile_base) * stride;
    if (!distances8<Dim, Kind>(a.query, tile, a.weights, a.d, far, dist)) return;
    const unsigned mask = lane_mask(dist <= cutoff);
    if (mask != 0) {
      float lanes[8];
      std::memcpy(lanes, &dist, sizeof lanes);
      admit_radius(row, mask, lanes, 8 * t, a);
    }
  };
  if constexpr (Kind == l1_plain) {
    if (a.codes != nullptr) {
      const int16_t b = code_bound(cutoff, Dim > 0 ? Dim : a.d);
      coded_tiles<Dim>(a, [b] { return b; }, scan_tile);
      return;
    }
  }
  for (std::size_t t = a.tile_begin; t < a.tile_end; ++t) scan_tile(t);
}

// Each term kind for one dimension.
template <std::size_t Dim>
void knn_dim(const ScanArgs& a, KnnRow& row) {
  switch (a.kind) {
    case l1_weighted: return knn_loop<Dim, l1_weighted>(a, row);
    case l2_plain: return knn_loop<Dim, l2_plain>(a, row);
    case l2_weighted: return knn_loop<Dim, l2_weighted>(a, row);
    default: return knn_loop<Dim, l1_plain>(a, row);
  }
}

template <std::size_t Dim>
void radius_dim(const ScanArgs& a, float cutoff, RadiusRow& row) {
  switch (a.kind) {
    case l1_weighted: return radius_loop<Dim, l1_weighted>(a, cutoff, row);
    case l2_plain: return radius_loop<Dim, l2_plain>(a, cutoff, row);
    case l2_weighted: return radius_loop<Dim, l2_weighted>(a, cutoff, row);
    default: return radius_loop<Dim, l1_plain>(a, cutoff, row);
  }
}

// The common dimensions get loops unrolled for them; the sums are the same.
#define PLOVIK_EXACT_DISPATCH(loop, ...)   \
  switch (a.d) {                           \
    case 2: return loop<2>(__VA_ARGS__);   \
    case 3: return loop<3>(__VA_ARGS__);   \
    case 4: return loop<4>(__VA_ARGS__);   \
    case 8: return loop<8>(__VA_ARGS__);   \
    case 16: return loop<16>(__VA_ARGS__); \
    case 32: return loop<32>(__VA_ARGS__); \
    default: return loop<0>(__VA_ARGS__);  \
  }

void knn_tiles(const ScanArgs& a, KnnRow& row) { PLOVIK_EXACT_DISPATCH(knn_dim, a, row) }

void radius_tiles(const ScanArgs& a, float cutoff, RadiusRow& row) {
  PLOVIK_EXACT_DISPATCH(radius_dim, a, cutoff, row)
}

#undef PLOVIK_EXACT_DISPATCH

// The eight sums of one query against one tile, for each term kind.
void tile_sums(const float* query, const float* tile, const float* weights, int kind, std::size_t d,
               float* out) {
  V8 sum;
  auto never = [](const V8&) { return false; };
  switch (kind) {
    case l1_weighted: distances8<0, l1_weighted>(query, tile, weights, d, never, sum); break;
    case l2_plain: distances8<0, l2_plain>(query, tile, weights, d, never, sum); break;
    case l2_weighted: distances8<0, l2_weighted>(query, tile, weights, d, never, sum); break;
    default: distances8<0, l1_plain>(query, tile, weights, d, never, sum); break;
  }
  std::memcpy(out, &sum, sizeof sum);
}
