// Whether every value of a large array is finite, checked by all workers.
#pragma once

#include <cstddef>
#include <span>

namespace plovik {

// True when no value is NaN or infinite. One pass in parallel chunks: the
// search checks every coordinate it is given, and a loaded state every one
// it holds.
bool all_finite(std::span<const double> values);
bool all_finite(std::span<const float> values);

}  // namespace plovik
