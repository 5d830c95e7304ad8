// Dropping the entries of retired points from a tier's tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/record.hpp"
#include "index/retired.hpp"

namespace plovik {

// The tier `tier` (ids stored less `base`) without the entries of the ids
// `retired` holds: every table keeps the order of the entries it keeps, and
// its directory counts only them (a bucket left empty leaves the list of
// occupied buckets). `entries` is what each table keeps, the tier's points
// not retired; a table that keeps another number throws Panic. A tier left
// with no entry has no directory either, like a tier built empty. Reads
// `tier`, never writes it.
Tier drop_retired(const Index& ix, const Tier& tier, uint64_t base, const RetiredSet& retired,
                  std::size_t entries);

}  // namespace plovik
