// Checks every query operation makes on its sizes before any work.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "index/errors.hpp"
#include "index/record.hpp"

namespace plovik {

// A built index takes queries of exactly d columns (the hash reads the
// coordinates named by s from each row). An index never built takes any
// width: it hashes nothing. Every row reads its excluded id, so
// exclude_ids, when given (n_exclude), must hold at least m entries.
inline void check_query_sizes(const Index& ix, std::size_t m, std::size_t dq,
                              std::optional<std::size_t> n_exclude) {
  if (ix.d != 0 && dq != ix.d)
    throw InvalidArgument("queries have " + std::to_string(dq) +
                          " columns but the index has d = " + std::to_string(ix.d));
  if (n_exclude && *n_exclude < m)
    throw Panic("exclude_ids holds " + std::to_string(*n_exclude) + " entries but there are " +
                std::to_string(m) + " queries");
}

}  // namespace plovik
