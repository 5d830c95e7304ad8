#include "index/metric_query/metric_query.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "index/knn/per_query.hpp"
#include "index/memory/prefetch.hpp"
#include "index/metric/sum.hpp"
#include "index/query/topk.hpp"
#include "index/query/workspace.hpp"

namespace plovik {

namespace {

// Coordinates of the candidate this many places ahead are requested while
// the current one is measured (as refine_topk does: the rows are scattered).
constexpr std::size_t coords_ahead = 16;

// What every query of a call measures with: the term kind, the weights
// (null without) and, for a radius, the cutoff on the sums.
struct MetricArgs {
  int kind;
  const float* weights;
  float cutoff;
};

// Calls take(sum, id) for every gathered id but `excluded`, its sum in the
// metric measured over d coordinates (Dim when it is not 0).
template <std::size_t Dim, int Kind, class Take>
void for_gathered(const Index& ix, const QueryWorkspace& ws, int64_t excluded, const float* w,
                  Take&& take) {
  const std::size_t d = Dim > 0 ? Dim : ix.d;
  const uint64_t* ids = ws.gathered.data();
  const std::size_t n = ws.gathered.size();
  const float* coords = ix.coords_f32.data();
  const float* q = ws.query_f32.data();
  const auto row = [&](std::size_t i) { return coords + ids[i] * d; };
  const auto fetch = [&](std::size_t i) {
    prefetch(row(i));
    prefetch(row(i) + (d > 0 ? d - 1 : 0));
  };
  for (std::size_t i = 0; i < std::min(n, coords_ahead); ++i) fetch(i);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + coords_ahead < n) fetch(i + coords_ahead);
    const auto id = static_cast<int64_t>(ids[i]);
    if (id == excluded) continue;
    take(metric_sum<Dim, Kind>(q, row(i), w, d), id);
  }
}

constexpr bool rooted(int kind) { return kind == l2_plain_terms || kind == l2_weighted_terms; }

// The k best gathered ids by (distance bits, id); L2 roots every sum.
template <std::size_t Dim, int Kind>
void refine_kind(const Index& ix, const QueryWorkspace& ws, TopK& top, int64_t excluded,
                 const float* w) {
  const std::size_t k = top.k();
  Slot* heap = top.heap.data();
  std::size_t len = top.len;
  for_gathered<Dim, Kind>(ix, ws, excluded, w, [&](float sum, int64_t id) {
    const uint32_t bits = distance_bits(rooted(Kind) ? std::sqrt(sum) : sum);
    // A full heap rejects most candidates with one comparison.
    if (len == k && !before(bits, id, heap[0].bits, heap[0].id)) return;
    heap_offer(heap, k, len, bits, id);
  });
  top.len = len;
}

// The gathered ids whose sums are within the cutoff; only those rooted.
template <std::size_t Dim, int Kind>
void within_kind(const Index& ix, const QueryWorkspace& ws, int64_t excluded, const float* w,
                 float cutoff, Array<Slot>& hits) {
  for_gathered<Dim, Kind>(ix, ws, excluded, w, [&](float sum, int64_t id) {
    if (sum <= cutoff) hits.push_back({distance_bits(rooted(Kind) ? std::sqrt(sum) : sum), id});
  });
}

// Each term kind for one dimension, then the common dimensions unrolled
// (the sums are the same).
template <std::size_t Dim, class Call>
void by_kind(int kind, Call&& call) {
  switch (kind) {
    case l1_weighted_terms: return call.template operator()<Dim, l1_weighted_terms>();
    case l2_plain_terms: return call.template operator()<Dim, l2_plain_terms>();
    case l2_weighted_terms: return call.template operator()<Dim, l2_weighted_terms>();
    default: return call.template operator()<Dim, l1_plain_terms>();
  }
}

template <class Call>
void by_dim(std::size_t d, int kind, Call&& call) {
  switch (d) {
    case 2: return by_kind<2>(kind, call);
    case 3: return by_kind<3>(kind, call);
    case 4: return by_kind<4>(kind, call);
    case 8: return by_kind<8>(kind, call);
    case 16: return by_kind<16>(kind, call);
    case 32: return by_kind<32>(kind, call);
    default: return by_kind<0>(kind, call);
  }
}

// The RefineGathered of the k-nearest search (context: MetricArgs).
void refine_metric(const Index& ix, const QueryWorkspace& ws, TopK& top, int64_t excluded,
                   const void* context) {
  if (top.k() == 0) return;
  const auto& a = *static_cast<const MetricArgs*>(context);
  by_dim(ix.d, a.kind, [&]<std::size_t Dim, int Kind>() {
    refine_kind<Dim, Kind>(ix, ws, top, excluded, a.weights);
  });
}

// The MeasureWithin of the radius search (context: MetricArgs).
void measure_metric(const Index& ix, const QueryWorkspace& ws, int64_t excluded, Array<Slot>& hits,
                    const void* context) {
  const auto& a = *static_cast<const MetricArgs*>(context);
  by_dim(ix.d, a.kind, [&]<std::size_t Dim, int Kind>() {
    within_kind<Dim, Kind>(ix, ws, excluded, a.weights, a.cutoff, hits);
  });
}

MetricArgs args_of(const Metric& metric, float cutoff) {
  return {term_kind_of(metric), metric.weights.empty() ? nullptr : metric.weights.data(), cutoff};
}

}  // namespace

void validate_metric_knn(const Index& ix, const Metric& metric, std::size_t m, std::size_t dq,
                         std::optional<std::size_t> n_exclude, std::size_t k) {
  validate_query_knn(ix, m, dq, n_exclude, k);
  if (ix.d != 0) validate_metric(metric, ix.d);
}

void validate_metric_radius(const Index& ix, const Metric& metric, std::size_t m, std::size_t dq,
                            std::optional<std::size_t> n_exclude) {
  validate_query_radius(ix, m, dq, n_exclude);
  if (ix.d != 0) validate_metric(metric, ix.d);
}

KnnResult query_knn_metric(const Index& ix, const QueryBatch& q, std::size_t k,
                           const Metric& metric) {
  validate_metric_knn(ix, metric, q.m, q.dq, q.exclude_size(), k);
  KnnResult r;
  r.idx.assign(q.m * k, -1);
  r.dist.assign(q.m * k, std::numeric_limits<double>::infinity());
  if (k == 0 || q.m == 0) return r;
  const MetricArgs args = args_of(metric, 0.0f);
  knn_per_query(ix, q, k, answers_needed(ix, q, k), r.idx.data(), r.dist.data(), refine_metric,
                &args);
  return r;
}

RadiusResult query_radius_metric(const Index& ix, const QueryBatch& q, double radius,
                                 const Metric& metric) {
  validate_metric_radius(ix, metric, q.m, q.dq, q.exclude_size());
  // Rounded once, as query_radius rounds it, then the cutoff on the sums
  // that selects the same distances (a NaN one passes nothing).
  const MetricArgs args =
      args_of(metric, metric_sum_cutoff(metric.kind, static_cast<float>(radius)));
  return query_radius(ix, q, measure_metric, &args);
}

}  // namespace plovik
