// Linear merge of two key-ascending (key, id) runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plovik {

// Writes the na + nb entries of runs a and b to out, keys ascending (signed).
// On equal keys the entries of a come first; each run keeps its own order.
// The loop selects without branching on the keys, which are unpredictable.
inline void merge_first_wins(const int64_t* a_keys, const int64_t* a_ids, std::size_t na,
                             const int64_t* b_keys, const int64_t* b_ids, std::size_t nb,
                             int64_t* out_keys, int64_t* out_ids) {
  std::size_t a = 0, b = 0, o = 0;
  while (a < na && b < nb) {
    const int64_t ka = a_keys[a], kb = b_keys[b];
    const int64_t ia = a_ids[a], ib = b_ids[b];
    const bool take_a = ka <= kb;
    out_keys[o] = take_a ? ka : kb;
    out_ids[o] = take_a ? ia : ib;
    a += take_a;
    b += !take_a;
    ++o;
  }
  if (a < na) {
    std::memcpy(out_keys + o, a_keys + a, (na - a) * sizeof(int64_t));
    std::memcpy(out_ids + o, a_ids + a, (na - a) * sizeof(int64_t));
  } else if (b < nb) {
    std::memcpy(out_keys + o, b_keys + b, (nb - b) * sizeof(int64_t));
    std::memcpy(out_ids + o, b_ids + b, (nb - b) * sizeof(int64_t));
  }
}

}  // namespace plovik
