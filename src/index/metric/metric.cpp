#include "index/metric/metric.hpp"

#include <cmath>
#include <string>

#include "index/errors.hpp"
#include "index/metric/sum.hpp"

namespace plovik {

void validate_metric(const Metric& metric, std::size_t d) {
  if (metric.weights.empty()) return;
  if (metric.weights.size() != d)
    throw InvalidArgument("the metric has " + std::to_string(metric.weights.size()) +
                          " axis weights but the points have d = " + std::to_string(d));
  for (const float w : metric.weights)
    if (!std::isfinite(w) || w <= 0.0f)
      throw InvalidArgument("the metric's axis weights must be finite and positive, got " +
                            std::to_string(w));
}

// One term kind at a time (metric/sum.hpp), the kind chosen once per call.
float metric_sum_f32(const Metric& m, const float* q, const float* p, std::size_t D) {
  const float* w = m.weights.data();
  switch (term_kind_of(m)) {
    case l1_weighted_terms: return metric_sum<0, l1_weighted_terms>(q, p, w, D);
    case l2_plain_terms: return metric_sum<0, l2_plain_terms>(q, p, w, D);
    case l2_weighted_terms: return metric_sum<0, l2_weighted_terms>(q, p, w, D);
    default: return metric_sum<0, l1_plain_terms>(q, p, w, D);
  }
}

float metric_root(MetricKind kind, float sum) {
  return kind == MetricKind::l2 ? std::sqrt(sum) : sum;
}

float metric_distance_f32(const Metric& metric, const float* q, const float* p, std::size_t d) {
  return metric_root(metric.kind, metric_sum_f32(metric, q, p, d));
}

float l2_sum_bound(float r) {
  if (std::isnan(r)) return r;
  if (r < 0.0f) return -1.0f;
  if (std::isinf(r)) return r;
  const float inf = INFINITY;
  // r * r rounded is within an ulp or two of the bound; step to it. The
  // root is monotone, so the set {s : sqrt(s) <= r} is all s up to it.
  float s = r * r;
  while (s > 0.0f && std::sqrt(s) > r) s = std::nextafter(s, 0.0f);
  for (;;) {
    const float up = std::nextafter(s, inf);
    if (!(std::sqrt(up) <= r)) break;
    s = up;
  }
  return s;
}

float metric_sum_cutoff(MetricKind kind, float r) {
  return kind == MetricKind::l2 ? l2_sum_bound(r) : r;
}

}  // namespace plovik
