#include "index/batched/probe_sort.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

namespace plovik {

namespace {

constexpr unsigned digit_bits = 8;
constexpr std::size_t digits = std::size_t{1} << digit_bits;
// Beyond this many passes (keys of more than 32 bits) or below this many
// entries, a comparison sort is cheaper.
constexpr unsigned max_passes = 4;
constexpr std::size_t min_radix = 256;

void comparison_sort(Array<ProbeKey>& keys) {
  std::sort(keys.begin(), keys.end(), [](const ProbeKey& a, const ProbeKey& b) {
    return a.key < b.key || (a.key == b.key && a.query < b.query);
  });
}

}  // namespace

void sort_probe_keys(Array<ProbeKey>& keys, Array<ProbeKey>& scratch) {
  const std::size_t n = keys.size();
  uint64_t all = 0;
  bool negative = false;
  for (const ProbeKey& e : keys) {
    all |= static_cast<uint64_t>(e.key);
    negative |= e.key < 0;
  }
  const unsigned passes = (std::bit_width(all) + digit_bits - 1) / digit_bits;
  if (negative || passes > max_passes || n < min_radix) {
    comparison_sort(keys);
    return;
  }
  scratch.resize(n);
  for (unsigned pass = 0; pass < passes; ++pass) {
    const unsigned shift = pass * digit_bits;
    const auto digit = [shift](const ProbeKey& e) {
      return (static_cast<uint64_t>(e.key) >> shift) & (digits - 1);
    };
    std::size_t start[digits] = {};
    for (const ProbeKey& e : keys) ++start[digit(e)];
    std::size_t at = 0;
    for (std::size_t& s : start) at += std::exchange(s, at);
    ProbeKey* out = scratch.data();
    for (const ProbeKey& e : keys) out[start[digit(e)]++] = e;
    keys.swap(scratch);
  }
}

}  // namespace plovik
