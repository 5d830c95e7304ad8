#include "index/hash/keys.hpp"

#include <algorithm>

#include "index/hash/keys_vectorised.hpp"
#include "parallel/pool.hpp"

namespace plovik {

int64_t query_codes(const Index& ix, const double* q, std::size_t t, int64_t* codes,
                    double* fracs) {
  const std::size_t K = ix.k;
  const double B = static_cast<double>(ix.b);
  uint64_t key = 0;
  for (std::size_t j = 0; j < K; ++j) {
    const std::size_t at = t * K + j;
    const double y = cell_position(q[static_cast<std::size_t>(ix.s[at])], ix.u[at], B);
    const int64_t code = cell_code(y, ix.b);
    double frac = y - static_cast<double>(code);
    if (frac < 0.0) frac = 0.0;
    if (frac > 1.0) frac = 1.0;
    codes[j] = code;
    fracs[j] = frac;
    key += static_cast<uint64_t>(code) * ix.radix[j];
  }
  return static_cast<int64_t>(key);
}

namespace {

// Chunks of about four per worker, 16 to 1024 points each:
// ceil(count / 4T), which is 1 (then 16) once 4T reaches count, so the
// saturated product gives the same length.
std::size_t key_chunk(std::size_t count) {
  const std::size_t chunks = parallel::tasks_per_worker(4);
  const std::size_t chunk = count / chunks + (count % chunks != 0);
  return std::clamp<std::size_t>(chunk, 16, 1024);
}

// Keys of `rows` consecutive points by the formula as written, for any
// coordinates and parameters.
void general_keys_rows(const Index& ix, const double* p, std::size_t d, std::size_t rows,
                       TableSpan tables, int64_t* out, std::size_t stride) {
  const double B = static_cast<double>(ix.b);
  for (std::size_t t = tables.first; t < tables.first + tables.count; ++t) {
    int64_t* dst = out + (t - tables.first) * stride;
    for (std::size_t i = 0; i < rows; ++i) {
      const double* row = p + i * d;
      uint64_t key = 0;
      for (std::size_t j = 0; j < ix.k; ++j) {
        const std::size_t at = t * ix.k + j;
        const double y = cell_position(row[static_cast<std::size_t>(ix.s[at])], ix.u[at], B);
        key += static_cast<uint64_t>(cell_code(y, ix.b)) * ix.radix[j];
      }
      dst[i] = static_cast<int64_t>(key);
    }
  }
}

}  // namespace

Array<int64_t> compute_keys(const Index& ix, const double* coords, std::size_t d, std::size_t base,
                            std::size_t count) {
  return compute_keys(ix, coords, d, base, count, {0, ix.l});
}

Array<int64_t> compute_keys(const Index& ix, const double* coords, std::size_t d, std::size_t base,
                            std::size_t count, TableSpan tables) {
  Array<int64_t> out(checked_mul(tables.count, count));
  if (count == 0) return out;
  const bool vectorised = vectorised_keys_apply(ix);
  struct NoState {};
  parallel::for_chunks(
      count, key_chunk(count), [] { return NoState{}; },
      [&](NoState&, std::size_t begin, std::size_t end) {
        for (std::size_t first = begin; first < end; first += chunk_rows) {
          const std::size_t rows = std::min(chunk_rows, end - first);
          const double* p = coords + (base + first) * d;
          int64_t* dst = out.data() + first;
          if (!vectorised || !vectorised_keys_rows(ix, p, d, rows, tables, dst, count))
            general_keys_rows(ix, p, d, rows, tables, dst, count);
        }
      });
  return out;
}

}  // namespace plovik
