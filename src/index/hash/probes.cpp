#include "index/hash/probes.hpp"

namespace plovik {

void build_probe_list(const RustLshIndex& ix, Ws& ws, const double* row) {
  const std::size_t L = ix.l;
  ws.probe_list.resize(L * (1 + flips_per_table(ix)));
  Probe* out = ws.probe_list.data();
  for (std::size_t t = 0; t < L; ++t) {
    const auto table = static_cast<uint32_t>(t);
    table_probes(ix, row, t, ws.codes.data(), ws.fracs.data(), ws.margins.data(),
                 [&](uint64_t key) { *out++ = {table, key}; });
  }
}

}  // namespace plovik
