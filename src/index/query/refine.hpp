// Measuring gathered candidates and keeping the k best.
#pragma once

#include <cstdint>

#include "index/query/topk.hpp"
#include "index/query/workspace.hpp"
#include "index/record.hpp"

namespace plovik {

// Offers every id of ws.gathered except `excluded` to `top`, with its
// single-precision distance to ws.query_f32. Adds to what `top` holds. (A
// retired point has no entry in the tables, so none is ever gathered.)
void refine_topk(const Index& ix, const QueryWorkspace& ws, TopK& top, int64_t excluded);

}  // namespace plovik
