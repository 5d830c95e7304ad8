// The probe sequence of one query: per table the base bucket, then the
// neighbouring buckets across the nearest cell walls.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "index/hash/keys.hpp"
#include "index/record.hpp"

namespace plovik {

// One probed bucket: table and key.
struct Probe {
  uint32_t table;
  uint64_t key;
};

// Number of flip probes per table: min(K, probes), with the index's probes
// unless a call asks for its own number.
inline std::size_t flips_per_table(const Index& ix,
                                   std::optional<std::size_t> probes = std::nullopt) {
  return std::min(ix.k, probes.value_or(ix.probes));
}

// Calls emit(key) for the 1 + P probe keys of the query `row` in table t,
// P = flips (at most K, from flips_per_table): the base key, then one flip
// per component in increasing order of margin (lowest component first among
// equal margins). codes, fracs and margins are K-entry scratch; codes and
// fracs keep this table's values.
template <class Emit>
void table_probes(const Index& ix, std::size_t flips, const double* row, std::size_t t,
                  int64_t* codes, double* fracs, double* margins, Emit&& emit) {
  const std::size_t K = ix.k;
  const std::size_t P = flips;
  const int64_t b = ix.b;
  const uint64_t base = static_cast<uint64_t>(query_codes(ix, row, t, codes, fracs));
  emit(base);
  if (P == 0) return;
  for (std::size_t j = 0; j < K; ++j) margins[j] = std::min(fracs[j], 1.0 - fracs[j]);
  for (std::size_t p = 0; p < P; ++p) {
    // Strict less-than from 2.0: the lowest index wins a tie, picked
    // components (set to 2.0) and NaN margins never win; with no winner
    // component 0 is taken.
    std::size_t j = 0;
    double best = 2.0;
    for (std::size_t c = 0; c < K; ++c) {
      if (margins[c] < best) {
        best = margins[c];
        j = c;
      }
    }
    margins[j] = 2.0;
    const int64_t next = fracs[j] >= 0.5 ? codes[j] + 1 : codes[j] - 1;
    int64_t w = next % b;
    if (w < 0) w += b;
    emit(base + static_cast<uint64_t>(w - codes[j]) * ix.radix[j]);
  }
}

}  // namespace plovik
