#include "probes.hpp"

#include <algorithm>

#include "hash.hpp"

namespace plovik {

void build_probe_list(const RustLshIndex& ix, Ws& ws, const double* row) {
  const std::size_t L = ix.l, K = ix.k;
  const std::size_t P = std::min(K, ix.probes);
  const int64_t b = ix.b;
  ws.probe_list.resize(L * (1 + P));
  Probe* out = ws.probe_list.data();
  int64_t* codes = ws.codes.data();
  double* fracs = ws.fracs.data();
  double* margins = ws.margins.data();
  for (std::size_t t = 0; t < L; ++t) {
    const uint64_t base = static_cast<uint64_t>(query_codes(ix, row, t, codes, fracs));
    const auto table = static_cast<uint32_t>(t);
    *out++ = {table, base};
    if (P == 0) continue;
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
      const uint64_t delta = static_cast<uint64_t>(w - codes[j]) * ix.radix[j];
      *out++ = {table, base + delta};
    }
  }
}

}  // namespace plovik
