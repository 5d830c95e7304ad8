// Promotion of the candidate tier into the static tier.
#pragma once

#include <cstddef>

#include "array.hpp"
#include "record.hpp"

namespace plovik {

// rows: m rows of `width` values, row-major, the next candidate batch.
void promote(RustLshIndex& ix, Array<double> rows, std::size_t m, std::size_t width);

}  // namespace plovik
