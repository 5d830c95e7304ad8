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

// The same merge for two runs with bucket directories of `stride` entries
// (entry c = number of keys below c) that cover every key of their run: key
// by key, a's entries, then b's, each copied whole. Returns false, writing
// nothing, when a directory does not cover its run.
inline bool merge_by_directory(const int64_t* a_ids, const uint32_t* a_dir, std::size_t na,
                               const int64_t* b_ids, const uint32_t* b_dir, std::size_t nb,
                               std::size_t stride, int64_t* out_keys, int64_t* out_ids) {
  const std::size_t S = stride - 1;
  if (a_dir[0] != 0 || a_dir[S] != na || b_dir[0] != 0 || b_dir[S] != nb) return false;
  std::size_t o = 0;
  for (std::size_t c = 0; c < S; ++c) {
    const std::size_t a0 = a_dir[c], a1 = a_dir[c + 1], b0 = b_dir[c], b1 = b_dir[c + 1];
    const std::size_t run = (a1 - a0) + (b1 - b0);
    for (std::size_t i = 0; i < run; ++i) out_keys[o + i] = static_cast<int64_t>(c);
    std::memcpy(out_ids + o, a_ids + a0, (a1 - a0) * sizeof(int64_t));
    std::memcpy(out_ids + o + (a1 - a0), b_ids + b0, (b1 - b0) * sizeof(int64_t));
    o += run;
  }
  return true;
}

}  // namespace plovik
