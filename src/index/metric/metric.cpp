#include "index/metric/metric.hpp"

#include <cmath>
#include <string>

#include "index/errors.hpp"
#include "index/query/distance.hpp"

namespace plovik {

namespace {

// The term of coordinate c as the metric sums it.
float metric_term(const Metric& m, const float* q, const float* p, std::size_t c) {
  float t = torus_term(q[c], p[c]);
  if (!m.weights.empty()) t = t * m.weights[c];
  return m.kind == MetricKind::l2 ? t * t : t;
}

}  // namespace

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

// torus_l1_f32's association (query/distance.hpp, the portable form) over
// the metric's terms.
float metric_sum_f32(const Metric& m, const float* q, const float* p, std::size_t D) {
  float s = 0.0f;
  std::size_t c = 0;
  if (D >= 16) {
    float acc[4][4] = {};
    for (; D - c >= 16; c += 16)
      for (std::size_t g = 0; g < 4; ++g)
        for (std::size_t lane = 0; lane < 4; ++lane)
          acc[g][lane] = acc[g][lane] + metric_term(m, q, p, c + 4 * g + lane);
    float S[4];
    for (std::size_t lane = 0; lane < 4; ++lane)
      S[lane] = ((acc[0][lane] + acc[1][lane]) + acc[2][lane]) + acc[3][lane];
    s = (S[0] + S[1]) + (S[2] + S[3]);
  }
  if (D - c >= 4) {
    float acc[4] = {s, 0.0f, 0.0f, 0.0f};
    for (; D - c >= 4; c += 4)
      for (std::size_t lane = 0; lane < 4; ++lane)
        acc[lane] = acc[lane] + metric_term(m, q, p, c + lane);
    s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  }
  for (; c < D; ++c) s = metric_term(m, q, p, c) + s;
  return s;
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
