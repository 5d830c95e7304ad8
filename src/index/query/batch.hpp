// The inputs every query operation shares: an (m, dq) row-major array
// of float64 query coordinates and the optional excluded id of each query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace plovik {

struct QueryBatch {
  std::span<const double> values;  // m * dq values, row-major
  std::size_t m = 0;
  std::size_t dq = 0;
  // When present: at least m entries are required, entry i is query i's
  // excluded id; entries beyond m are ignored.
  std::optional<std::span<const int64_t>> exclude;
  // When present: the flip probes per table of this call instead of the
  // index's setting (still at most K).
  std::optional<std::size_t> probes;

  const double* row(std::size_t i) const { return values.data() + i * dq; }
  int64_t excluded(std::size_t i) const { return exclude ? (*exclude)[i] : -1; }
  std::optional<std::size_t> exclude_size() const {
    return exclude ? std::optional<std::size_t>(exclude->size()) : std::nullopt;
  }
};

}  // namespace plovik
