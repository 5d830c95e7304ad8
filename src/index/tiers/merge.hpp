// Linear merge of two tables' runs into one, a's entries before b's on
// equal keys, each run keeping its own order: bucket by bucket through
// their dense directories, or through their occupied buckets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "index/tiers/directory.hpp"

namespace plovik {

// One run's ids as stored, and what is added to each to give the id the
// merged run holds.
struct MergeRun {
  const uint32_t* ids;
  uint32_t base;
  std::size_t n;
};

// Appends run r's entries [begin, end) to out (base added).
inline void copy_ids(const MergeRun& r, std::size_t begin, std::size_t end, uint32_t* out) {
  if (begin == end) return;  // an empty run may have no ids at all
  if (r.base == 0) {
    std::memcpy(out, r.ids + begin, (end - begin) * sizeof(uint32_t));
    return;
  }
  for (std::size_t p = begin; p < end; ++p) *out++ = r.ids[p] + r.base;
}

// The merge through dense directories of `stride` entries (entry c = number
// of keys below c) that cover every key of their run; a run with no entry
// may have no directory (nullptr). Key by key, a's entries, then b's, each
// copied whole. The merged run's directory is the sum of the two. Returns
// false, writing nothing, when a directory does not cover its run.
inline bool merge_by_directory(const MergeRun& a, const uint32_t* a_dir, const MergeRun& b,
                               const uint32_t* b_dir, std::size_t stride, uint32_t* out) {
  const std::size_t S = stride - 1;
  const auto covers = [S](const uint32_t* dir, std::size_t n) {
    return dir == nullptr ? n == 0 : dir[0] == 0 && dir[S] == n;
  };
  if (!covers(a_dir, a.n) || !covers(b_dir, b.n)) return false;
  const auto at = [](const uint32_t* dir, std::size_t c) -> std::size_t {
    return dir == nullptr ? 0 : dir[c];
  };
  std::size_t o = 0;
  for (std::size_t c = 0; c < S; ++c) {
    const std::size_t a0 = at(a_dir, c), a1 = at(a_dir, c + 1);
    const std::size_t b0 = at(b_dir, c), b1 = at(b_dir, c + 1);
    copy_ids(a, a0, a1, out + o);
    copy_ids(b, b0, b1, out + o + (a1 - a0));
    o += (a1 - a0) + (b1 - b0);
  }
  return true;
}

// One run's occupied buckets (keys ascending, starts with one more entry,
// the run's length); nb = 0 for a run with no entry.
struct RunBuckets {
  const int64_t* keys;
  const uint32_t* starts;
  std::size_t nb;
};

// The merge through occupied buckets: the union of the two key lists in
// ascending (signed) order, each key's entries of a, then of b. Writes the
// merged ids to out unless it is nullptr, and the merged run's buckets to
// `buckets` unless it is nullptr: a promotion finds the buckets first (they
// allocate) and merges the ids later, when nothing may fail any more.
inline void merge_by_buckets(const MergeRun& a, const RunBuckets& ab, const MergeRun& b,
                             const RunBuckets& bb, uint32_t* out, TableBuckets* buckets) {
  if (buckets != nullptr) {
    buckets->keys.clear();
    buckets->starts.clear();
  }
  std::size_t i = 0, j = 0, o = 0;
  while (i < ab.nb || j < bb.nb) {
    const bool take_a = i < ab.nb && (j == bb.nb || ab.keys[i] <= bb.keys[j]);
    const bool take_b = j < bb.nb && (i == ab.nb || bb.keys[j] <= ab.keys[i]);
    if (buckets != nullptr) {
      buckets->keys.push_back(take_a ? ab.keys[i] : bb.keys[j]);
      buckets->starts.push_back(static_cast<uint32_t>(o));
    }
    if (take_a) {
      if (out != nullptr) copy_ids(a, ab.starts[i], ab.starts[i + 1], out + o);
      o += ab.starts[i + 1] - ab.starts[i];
      ++i;
    }
    if (take_b) {
      if (out != nullptr) copy_ids(b, bb.starts[j], bb.starts[j + 1], out + o);
      o += bb.starts[j + 1] - bb.starts[j];
      ++j;
    }
  }
  if (buckets != nullptr) buckets->starts.push_back(static_cast<uint32_t>(o));
}

}  // namespace plovik
