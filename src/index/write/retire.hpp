// Retiring points: their ids stay taken (never given to another point),
// their entries leave the tiers' tables, and every query skips them from
// then on.
#pragma once

#include <cstdint>
#include <span>

#include "index/record.hpp"

namespace plovik {

// Refuses (InvalidArgument) any id outside [0, n_points), naming the first.
void validate_retire(const Index& ix, std::span<const int64_t> ids);

// Marks every id of `ids` retired and drops the entries of the newly
// retired ones from every table of their tier (one pass over the ids of a
// tier that lost a point); an id retired before, or repeated, stays retired.
// Validates first, and changes the record only at the end: on refusal or
// failure nothing changes.
void retire(Index& ix, std::span<const int64_t> ids);

}  // namespace plovik
