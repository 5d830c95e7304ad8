#include "block_cache.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace plovik::blocks {

namespace {

using Block = std::pair<void*, std::size_t>;

struct Cache {
  std::mutex mutex;
  std::vector<Block> kept;
  std::size_t kept_bytes = 0;
  std::size_t in_use = 0;  // bytes of large blocks handed out and not freed
};

void lock_for_fork();
void unlock_after_fork();

// Never destroyed: blocks may be freed by threads still running at exit.
Cache& cache() {
  static Cache* c = [] {
    // A fork while another thread holds the lock would leave the child's
    // copy locked for ever: the fork waits for it instead.
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
    return new Cache();
  }();
  return *c;
}

void lock_for_fork() { cache().mutex.lock(); }
void unlock_after_fork() { cache().mutex.unlock(); }

thread_local int scope_depth = 0;

}  // namespace

void* take(std::size_t bytes) noexcept {
  if (scope_depth == 0) return nullptr;
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  // The most recently kept block of the size: the likeliest to still have
  // its pages.
  for (std::size_t i = c.kept.size(); i-- > 0;) {
    if (c.kept[i].second != bytes) continue;
    void* p = c.kept[i].first;
    c.kept.erase(c.kept.begin() + static_cast<std::ptrdiff_t>(i));
    c.kept_bytes -= bytes;
    c.in_use += bytes;
    return p;
  }
  return nullptr;
}

bool keep(void* block, std::size_t bytes) noexcept {
  if (scope_depth == 0) return false;
  // The advice is given before the block is published: once it is in the
  // list another thread may take it and fill it, and advice given after
  // that would let the kernel drop the new contents under memory pressure
  // (they would read back as zeros). Advice only; failure is harmless.
  madvise(block, bytes, MADV_FREE);
  Cache& c = cache();
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    const std::size_t in_use = c.in_use - bytes;
    if (bytes > in_use) return false;
    try {
      c.kept.reserve(c.kept.size() + 1);
    } catch (...) {
      return false;
    }
    // Oldest first: they make room for the newest.
    std::size_t drop = 0;
    for (; c.kept_bytes + bytes > in_use; ++drop) {
      c.kept_bytes -= c.kept[drop].second;
      std::free(c.kept[drop].first);
    }
    c.kept.erase(c.kept.begin(), c.kept.begin() + static_cast<std::ptrdiff_t>(drop));
    c.kept.emplace_back(block, bytes);  // within the reserved capacity
    c.kept_bytes += bytes;
    c.in_use = in_use;
  }
  return true;
}

void release_all() noexcept {
  std::vector<Block> blocks;
  {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    blocks.swap(c.kept);
    c.kept_bytes = 0;
  }
  for (const Block& b : blocks) std::free(b.first);
}

void note_allocated(std::size_t bytes) noexcept {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.in_use += bytes;
}

void note_freed(std::size_t bytes) noexcept {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.in_use -= bytes;
}

ReuseScope::ReuseScope() noexcept { ++scope_depth; }
ReuseScope::~ReuseScope() { --scope_depth; }

}  // namespace plovik::blocks
