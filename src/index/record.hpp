// The index record: hash parameters, points, both tiers and the query
// counters, as flat engine-owned arrays. Operations are free functions over
// it, in the folders beside this file (write/, knn/, batched/, query/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "index/counters.hpp"
#include "index/memory/array.hpp"
#include "index/retired.hpp"
#include "index/tier.hpp"

namespace plovik {

struct Index {
  // The large arrays the last build, update or promote replaced, kept for
  // the next one. First, so that it outlives every array of the record.
  ArrayReuse reuse;

  // Hash parameters, fixed at construction. Entry t*K + j belongs to
  // component j of table t.
  Array<int64_t> s;       // hashed coordinate
  Array<double> u;        // offset added before wrapping
  Array<uint64_t> radix;  // radix[j] = b^j (wrapping), K entries

  // Points, row-major, static rows first. coords_f32 holds every point's
  // coordinates wrapped onto [0, 1) and rounded to single precision; it is
  // what distances are measured on. cand_f64 keeps the candidates' rows as
  // given (n_cand x d): an update rehashes only the rows that differ from
  // them bitwise. Static rows are hashed once, when they enter their tier,
  // and are not kept in double precision.
  Array<float> coords_f32;
  Array<double> cand_f64;

  // The two tiers' tables (tier.hpp): 32-bit ids in bucket order per table
  // and a directory of buckets. Candidate ids are stored less n_static.
  Tier static_tables;
  Tier cand_tables;

  int64_t b = 0;
  std::size_t k = 0;  // K, hashed components per table
  std::size_t l = 0;  // L, number of tables
  std::size_t probes = 0;
  std::size_t block = 1024;

  std::size_t d = 0;  // 0 until the first build
  std::size_t n_points = 0;
  std::size_t n_static = 0;

  // Points no query returns any more (retire); cleared by build.
  RetiredSet retired;

  // Cumulative k-nearest query counters, read by stats().
  QueryCounters counters;

  std::size_t n_cand() const { return n_points - n_static; }
  std::size_t n_live() const { return n_points - retired.count; }
};

// The bytes an index holds, by part: coordinates (single precision of every
// point, double precision of the candidates), the tiers' ids, their
// directories, and the replaced large arrays kept for the next build,
// update or promote (memory/array_reuse.hpp).
struct IndexBytes {
  std::size_t coordinates = 0;
  std::size_t ids = 0;
  std::size_t directories = 0;
  std::size_t reuse = 0;

  std::size_t total() const { return coordinates + ids + directories + reuse; }
};

IndexBytes index_bytes(const Index& ix);

// b^K multiplied out in signed 64-bit arithmetic from 1, or nothing when a
// product overflows. The one computation of the key space's size.
std::optional<int64_t> checked_key_space(int64_t b, std::size_t components);

// Key space size b^K of a built index (build refuses a b^K beyond 2^63 - 1);
// INT64_MAX for parameters whose b^K overflows.
int64_t key_space(const Index& ix);

}  // namespace plovik
