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

}  // namespace plovik
