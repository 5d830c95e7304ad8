// The number of workers the pool runs with, taken from the environment once,
// and the limits that let one job use fewer of them.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <optional>

#include "pool.hpp"

namespace plovik::parallel {
namespace {

// A non-empty run of ASCII digits that fits in size_t; anything else
// (sign, blank, other character, overflow) is not a count.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  std::size_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(*c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t online_processors() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// What the environment asks for, before the clamp; never 0.
std::size_t requested_count() {
  if (const auto n = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
    return *n > 0 ? *n : online_processors();
  }
  if (const auto n = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
  return online_processors();
}

// More workers than processors only add switching; a count meant for a much
// larger machine (or a typo) must not start thousands of threads.
std::size_t count_from_environment() { return std::min(requested_count(), max_thread_count()); }

// 0: no limit. The thread's own limit is set by ThreadLimit (and, on a pool
// thread, by the job it works on).
thread_local std::size_t t_limit = 0;
std::atomic<std::size_t> process_limit{0};

// 0 until the first call. An atomic rather than a function-local static so
// that a fork() racing with the first call cannot leave a child waiting on a
// half-finished static initialisation.
std::atomic<std::size_t> cached_count{0};

}  // namespace

std::size_t max_thread_count() {
  constexpr std::size_t per_processor = 4;
  const std::size_t online = online_processors();
  // online * 4 without wrapping, then the absolute cap.
  if (online >= max_thread_cap / per_processor) return max_thread_cap;
  return online * per_processor;
}

std::size_t pool_thread_count() {
  std::size_t known = cached_count.load(std::memory_order_acquire);
  if (known != 0) return known;
  // Two first callers may both read the environment; the first to publish
  // wins so that every caller sees one value.
  const std::size_t fresh = count_from_environment();
  if (cached_count.compare_exchange_strong(known, fresh, std::memory_order_acq_rel)) return fresh;
  return known;
}

std::size_t thread_count() {
  std::size_t n = pool_thread_count();
  const std::size_t process = process_limit.load(std::memory_order_relaxed);
  if (process != 0 && process < n) n = process;
  if (t_limit != 0 && t_limit < n) n = t_limit;
  return n;
}

std::size_t set_process_thread_limit(std::size_t limit) {
  return process_limit.exchange(limit, std::memory_order_relaxed);
}

std::size_t process_thread_limit() { return process_limit.load(std::memory_order_relaxed); }

std::size_t set_thread_limit(std::size_t limit) noexcept {
  const std::size_t previous = t_limit;
  t_limit = limit;
  return previous;
}

ThreadLimit::ThreadLimit(std::size_t limit) noexcept : saved_(set_thread_limit(limit)) {}

ThreadLimit::~ThreadLimit() { set_thread_limit(saved_); }

}  // namespace plovik::parallel
