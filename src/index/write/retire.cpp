#include "index/write/retire.hpp"

#include <algorithm>
#include <string>

#include "index/errors.hpp"

namespace plovik {

void validate_retire(const Index& ix, std::span<const int64_t> ids) {
  for (const int64_t id : ids)
    if (id < 0 || static_cast<uint64_t>(id) >= ix.n_points)
      throw InvalidArgument("ids must lie in [0, " + std::to_string(ix.n_points) +
                            ") to be retired, got " + std::to_string(id));
}

void retire(Index& ix, std::span<const int64_t> ids) {
  validate_retire(ix, ids);
  if (ids.empty()) return;
  RetiredSet& r = ix.retired;
  const auto highest = static_cast<uint64_t>(*std::max_element(ids.begin(), ids.end()));
  const std::size_t words = static_cast<std::size_t>(highest >> 6) + 1;
  if (r.words.size() < words) r.words.resize(words, 0);  // the only allocation
  for (const int64_t id : ids) {
    uint64_t& w = r.words[static_cast<uint64_t>(id) >> 6];
    const uint64_t bit = uint64_t{1} << (id & 63);
    r.count += (w & bit) == 0;
    w |= bit;
  }
}

}  // namespace plovik
