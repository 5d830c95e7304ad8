// A hash index's candidates answered in a metric of the caller's: toroidal
// L1 or L2, with or without per-axis weights (metric/metric.hpp).
//
// The index and its tables are unchanged: a query gathers the buckets it
// probes (with the batch's probes) and relaxes exactly as the index's own
// per-query k-nearest path and its radius search do (knn/per_query,
// query/radius), and only the distances that rank and select the gathered
// ids differ. Every distance is the metric's reference value bit for bit:
// metric_sum_f32's association, for L2 the root of the sum, a radius
// compared on the sums through metric_sum_cutoff (so that a point is in a
// row exactly when its rooted distance is within the radius), as the exact
// scan measures them. Rows are ascending by (distance bits, id), k-nearest
// rows padded with -1 / +inf; results never depend on the thread count.
#pragma once

#include <cstddef>

#include "index/knn/knn.hpp"
#include "index/metric/metric.hpp"
#include "index/query/batch.hpp"
#include "index/query/radius.hpp"
#include "index/record.hpp"

namespace plovik {

// The checks of validate_query_knn, then InvalidArgument when a built
// index's points do not fit the metric (validate_metric).
void validate_metric_knn(const Index& ix, const Metric& metric, std::size_t m, std::size_t dq,
                         std::optional<std::size_t> n_exclude, std::size_t k);
void validate_metric_radius(const Index& ix, const Metric& metric, std::size_t m, std::size_t dq,
                            std::optional<std::size_t> n_exclude);

// The k nearest gathered points of each query in the metric. Adds the
// per-query counters to the index's record, as query_knn does.
KnnResult query_knn_metric(const Index& ix, const QueryBatch& q, std::size_t k,
                           const Metric& metric);

// Every gathered point within `radius` (inclusive, rounded to single
// precision) of each query in the metric, in CSR form.
RadiusResult query_radius_metric(const Index& ix, const QueryBatch& q, double radius,
                                 const Metric& metric);

}  // namespace plovik
