// Copies of large input arrays, made by all workers.
#pragma once

#include <cstddef>

#include "index/memory/array.hpp"

namespace plovik {

// The `count` values at `src`, in an array with capacity for `room` more.
// Copied in parallel chunks: a build copies every coordinate it is given.
Array<double> copy_values(const double* src, std::size_t count, std::size_t room);

}  // namespace plovik
