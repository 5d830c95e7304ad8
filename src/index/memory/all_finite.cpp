#include "index/memory/all_finite.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Values per task: large enough that waking the workers pays.
constexpr std::size_t chunk_values = std::size_t{1} << 16;

// A value is NaN or infinite exactly when its exponent bits are all set:
// compared as integers, the loop has no branch and vectorises.
template <class T, class Bits>
bool chunk_finite(const T* v, std::size_t count) {
  constexpr Bits exponent = std::bit_cast<Bits>(std::numeric_limits<T>::infinity());
  Bits bad = 0;
  for (std::size_t i = 0; i < count; ++i)
    bad |= static_cast<Bits>((std::bit_cast<Bits>(v[i]) & exponent) == exponent);
  return bad == 0;
}

template <class T, class Bits>
bool finite_values(std::span<const T> values) {
  std::vector<uint8_t> bad(values.size() / chunk_values + 1, 0);
  struct NoState {};
  parallel::for_chunks(
      values.size(), chunk_values, [] { return NoState{}; },
      [&](NoState&, std::size_t begin, std::size_t end) {
        bad[begin / chunk_values] = !chunk_finite<T, Bits>(values.data() + begin, end - begin);
      });
  for (const uint8_t b : bad)
    if (b != 0) return false;
  return true;
}

}  // namespace

bool all_finite(std::span<const double> values) { return finite_values<double, uint64_t>(values); }

bool all_finite(std::span<const float> values) { return finite_values<float, uint32_t>(values); }

}  // namespace plovik
