// The probe sequence of one query: per table the base bucket, then the
// neighbouring buckets across the nearest cell walls.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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
  auto flip = [&](std::size_t j) {
    const int64_t next = fracs[j] >= 0.5 ? codes[j] + 1 : codes[j] - 1;
    int64_t w = next % b;
    if (w < 0) w += b;
    emit(base + static_cast<uint64_t>(w - codes[j]) * ix.radix[j]);
  };
  // The components in increasing order of margin, the lowest index first
  // among equal margins, NaN margins never; when those run out, component 0
  // again and again (the order of picking the least margin P times, with a
  // strict less-than and each component picked once). Each component's place
  // in that order is counted without branches: a chain of K dependent
  // minimum searches per probe cost more than the K * K independent
  // comparisons. More than 64 components only fit a key space with b = 1.
  constexpr std::size_t on_stack = 64;
  uint32_t stack_order[on_stack];
  std::vector<uint32_t> heap_order(K > on_stack ? K : 0);
  uint32_t* order = K > on_stack ? heap_order.data() : stack_order;
  std::size_t valid = 0;
  for (std::size_t j = 0; j < K; ++j) {
    const double m = margins[j];
    if (m != m) continue;  // NaN
    std::size_t rank = 0;
    for (std::size_t c = 0; c < j; ++c) rank += static_cast<std::size_t>(margins[c] <= m);
    for (std::size_t c = j + 1; c < K; ++c) rank += static_cast<std::size_t>(margins[c] < m);
    order[rank] = static_cast<uint32_t>(j);
    ++valid;
  }
  for (std::size_t p = 0; p < P; ++p) flip(p < valid ? order[p] : 0);
}

}  // namespace plovik
