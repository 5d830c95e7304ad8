#include <algorithm>

#include "index/query/tasks.hpp"
#include "parallel/pool.hpp"

namespace plovik {

std::size_t rows_per_task(std::size_t m) {
  const std::size_t tasks = parallel::tasks_per_worker(8);
  return std::clamp<std::size_t>(m / tasks, 1, 32);
}

}  // namespace plovik
