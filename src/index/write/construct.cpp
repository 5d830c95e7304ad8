#include "index/write/construct.hpp"

#include <utility>

namespace plovik {

void construct(Index& ix, int64_t b, std::size_t components, std::size_t tables, std::size_t probes,
               std::size_t block, Array<int64_t> s, Array<double> u) {
  // radix[j] = b^j in wrapping unsigned arithmetic (b = 2^32, K = 3 gives
  // 1, 2^32, 0); build() refuses parameters whose key space wraps.
  Array<uint64_t> radix(components);
  uint64_t r = 1;
  for (std::size_t j = 0; j < components; ++j) {
    radix[j] = r;
    r *= static_cast<uint64_t>(b);
  }
  ix.s = std::move(s);
  ix.u = std::move(u);
  ix.radix = std::move(radix);
  ix.b = b;
  ix.k = components;
  ix.l = tables;
  ix.probes = probes;
  ix.block = block;
}

}  // namespace plovik
