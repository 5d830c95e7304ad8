// How the rows of a query batch are cut into parallel tasks.
#pragma once

#include <cstddef>

namespace plovik {

// Query rows per parallel task: about eight tasks per worker so that rows
// of uneven cost (relaxations) balance out, at most 32 rows each. Results
// never depend on it.
std::size_t rows_per_task(std::size_t m);

}  // namespace plovik
