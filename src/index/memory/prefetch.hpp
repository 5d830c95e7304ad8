// Software prefetch hints for reads whose addresses are known ahead.
#pragma once

#include <cstddef>

namespace plovik {

inline void prefetch(const void* p) { __builtin_prefetch(p, 0, 3); }

// Every cache line of a run of `count` elements starting at p, at most
// max_lines lines (the hardware prefetcher follows longer runs).
template <class T>
inline void prefetch_span(const T* p, std::size_t count, std::size_t max_lines = 8) {
  if (count == 0) return;
  const char* first = reinterpret_cast<const char*>(p);
  const char* last = reinterpret_cast<const char*>(p + count) - 1;
  for (std::size_t n = 0; first <= last && n < max_lines; first += 64, ++n) prefetch(first);
  if (first <= last) return;
  prefetch(last);  // the line of the last element when the run ends mid-line
}

// For data read once: fetched close to the core without displacing data
// that is read again (prefetchnta on x86). Every line of the `count`
// elements from p.
template <class T>
inline void prefetch_once_span(const T* p, std::size_t count) {
  if (count == 0) return;
  const char* first = reinterpret_cast<const char*>(p);
  const std::size_t bytes = count * sizeof(T);
  for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(first + at, 0, 0);
  __builtin_prefetch(first + bytes - 1, 0, 0);  // the last line when the run ends mid-line
}

}  // namespace plovik
