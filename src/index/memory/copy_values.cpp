#include "index/memory/copy_values.hpp"

#include <cstring>

#include "parallel/pool.hpp"

namespace plovik {

Array<double> copy_values(const double* src, std::size_t count, std::size_t room) {
  Array<double> out;
  out.reserve(checked_add(count, room));
  out.resize(count);
  struct NoState {};
  parallel::for_chunks(
      count, std::size_t{1} << 17, [] { return NoState{}; },
      [&](NoState&, std::size_t begin, std::size_t end) {
        std::memcpy(out.data() + begin, src + begin, (end - begin) * sizeof(double));
      });
  return out;
}

}  // namespace plovik
