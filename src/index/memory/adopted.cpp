#include "index/memory/adopted.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace plovik {

namespace {

// Few ever exist (two per index loaded with mapped arrays), so a vector
// under a lock serves; the count lets every other large free skip the lock.
std::mutex g_lock;
std::vector<void*> g_adopted;
std::atomic<std::size_t> g_count{0};

}  // namespace

void adopted_note(void* p) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_adopted.push_back(p);
  g_count.fetch_add(1, std::memory_order_release);
}

bool adopted_release(void* p) noexcept {
  // An adopted buffer is noted before its array can be freed anywhere, and
  // passing the array to another thread orders the note before that free.
  if (g_count.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  const auto it = std::find(g_adopted.begin(), g_adopted.end(), p);
  if (it == g_adopted.end()) return false;
  *it = g_adopted.back();
  g_adopted.pop_back();
  g_count.fetch_sub(1, std::memory_order_release);
  return true;
}

std::size_t adopted_count() noexcept { return g_count.load(std::memory_order_acquire); }

}  // namespace plovik
