#include "index/query/workspace.hpp"

#include "index/hash/keys.hpp"

namespace plovik {

namespace {
constexpr std::size_t initial_gather_room = 4096;
}

QueryWorkspace::QueryWorkspace(std::size_t n_points, std::size_t d, std::size_t K)
    : mark(n_points, 0), query_f32(d, 0.0f), codes(K, 0), fracs(K, 0.0), margins(K, 0.0) {
  gathered.reserve(initial_gather_room);
}

void load_query(QueryWorkspace& ws, const double* row) {
  float* out = ws.query_f32.data();
  for (std::size_t c = 0, d = ws.query_f32.size(); c < d; ++c) out[c] = wrap_f32(row[c]);
}

}  // namespace plovik
