// Retiring points: their ids stay in the tiers (and are never given to
// another point), but every query skips them from then on.
#pragma once

#include <cstdint>
#include <span>

#include "index/record.hpp"

namespace plovik {

// Refuses (InvalidArgument) any id outside [0, n_points), naming the first.
void validate_retire(const Index& ix, std::span<const int64_t> ids);

// Marks every id of `ids` retired; an id retired before, or repeated,
// stays retired. Validates first: on refusal nothing changes.
void retire(Index& ix, std::span<const int64_t> ids);

}  // namespace plovik
