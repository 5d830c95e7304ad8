// What the tuning measures of one hash setting on samples of the data,
// with the engine's own keys and probe order (hash/keys.hpp,
// hash/probes.hpp), so that the settings it chooses are judged by the
// buckets the index will probe:
//
// - probe_keys: the probe keys of sample rows in every table;
// - candidate_counts: the bucket entries and distinct candidates sample
//   queries gather from a counted sample of the points, for every number of
//   tables l <= L and flips p <= P at once;
// - neighbour_hits: for every query of a sample, how many of its true
//   neighbours share a probed bucket with it, for every (l, p) at once.
//
// Tables are nested (the first l tables of the setting with L tables are
// those of every smaller one) and probes come in a fixed order, so one
// hashing answers every (l, p), and a measurement of l tables goes on to
// more (candidate_counts_from, neighbour_hits_from) without hashing its
// tables again. Everything is counted in integers and
// summed in a fixed order: the results never depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// m rows of d float64 coordinates, row-major.
struct SampleRows {
  std::span<const double> values;
  std::size_t m = 0;
  std::size_t d = 0;

  const double* row(std::size_t i) const { return values.data() + i * d; }
};

// The probe keys of every row in every table: m x L x (1 + flips),
// row-major, each table's run the base key and then the flips in the order
// the searches probe them (flips at most K).
Array<int64_t> probe_keys(const Index& ix, const SampleRows& rows, std::size_t flips);

// Bucket entries and distinct candidates summed over the queries, both
// (1 + flips) x L row-major: entry [p][l - 1] for the first l tables and p
// flips. A probe key repeated within a table gathers nothing again; an id
// in several tables counts as an entry in each and as one candidate.
// Settings whose entries exceed `bound` have distinct -1: their candidates
// are not expanded (a scan of every point costs hardly more).
struct CandidateCounts {
  Array<int64_t> entries;
  Array<int64_t> distinct;
};

CandidateCounts candidate_counts(const Index& ix, const SampleRows& points,
                                 const SampleRows& queries, std::size_t flips, double bound);

// candidate_counts continued from an earlier count of the first l tables:
// `prior` holds its entries and distinct ((1 + flips) x l each, l <= L),
// `best` per query q and point i, at q * n + i, the lowest probe index that
// gathered the point in those tables (1 + flips: none; all of them for l =
// 0). The tables from l on are counted, best is completed over all L
// tables, and the counts are those of one call with all L tables, since
// the first tables of a larger setting are those of a smaller one.
// InvalidArgument for counts or marks of other sizes, or marks past 1 + flips.
CandidateCounts candidate_counts_from(const Index& ix, const SampleRows& points,
                                      const SampleRows& queries, std::size_t flips, double bound,
                                      const CandidateCounts& prior, std::span<uint8_t> best);

// Whether candidate_counts_from of that many counted points and queries,
// from the counts of its first `counted_tables` tables, and
// neighbour_hits_from of that many queries and (query, neighbour) pairs,
// are small enough to run on their caller's thread alone, as they then do:
// the tuning makes many calls of a fraction of a millisecond, where waking
// the pool's workers would cost more than the work. Larger ones use them.
bool candidate_counts_alone(const Index& ix, std::size_t points, std::size_t queries,
                            std::size_t flips, std::size_t counted_tables);
bool neighbour_hits_alone(const Index& ix, std::size_t queries, std::size_t pairs,
                          std::size_t flips);

// Per query, its true neighbours found: m x (1 + flips) x L row-major,
// entry [q][p][l - 1] counting the neighbours of query q that share a
// bucket with one of its first 1 + p probes in one of the first l tables.
// neighbours holds one row per (query, neighbour) pair and owner[i] the
// query of pair i, ascending.
Array<int64_t> neighbour_hits(const Index& ix, const SampleRows& queries,
                              const SampleRows& neighbours, std::span<const int64_t> owner,
                              std::size_t flips);

// neighbour_hits continued from an earlier measurement: first[i * (1 +
// flips) + p] holds the first table in which pair i shares a bucket with
// one of the first 1 + p probes of its query, or -1 for none, over the
// tables [0, start[q]) already searched for its query q. The tables from
// start[q] on are searched (a pair found by a base probe needs none),
// first is completed over all L tables, and the hits of every (l, p) are
// returned as neighbour_hits returns them: the same as one call with all
// L tables, since the first tables of a larger setting are those of a
// smaller one. start[q] lies in [0, L] and first below it
// (InvalidArgument otherwise).
Array<int64_t> neighbour_hits_from(const Index& ix, const SampleRows& queries,
                                   const SampleRows& neighbours, std::span<const int64_t> owner,
                                   std::size_t flips, std::span<const int64_t> start,
                                   std::span<int64_t> first);

}  // namespace plovik
