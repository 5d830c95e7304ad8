// The common case of key computation, vectorised: finite coordinates,
// offsets in [0, 1) and a key space of at most 2^31. Gives exactly the keys
// of the general formula for such input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/hash/keys.hpp"
#include "index/record.hpp"

namespace plovik {

// True when the offsets and the key space allow the vectorised kernel.
bool vectorised_keys_apply(const Index& ix);

// Rows hashed together: the vectorised kernel copies them into columns.
inline constexpr std::size_t chunk_rows = 64;

// Keys of `count` (at most chunk_rows) consecutive rows starting at `rows`
// in the tables of `tables`; writes the key of row i in table
// tables.first + u to out[u * stride + i]. False, writing nothing, when a
// coordinate is NaN or infinite: the general formula is needed then.
// Requires vectorised_keys_apply(ix).
bool vectorised_keys_rows(const Index& ix, const double* rows, std::size_t d, std::size_t count,
                          TableSpan tables, int64_t* out, std::size_t stride);

// True when every value lies in [0, 1) (false for NaN).
bool all_in_unit(const double* values, std::size_t count);

}  // namespace plovik
