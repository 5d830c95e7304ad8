// The order the exact scan lays its points out in, and the byte ranges of
// each group of them.
//
// Points sorted by a cell key on their most spread coordinates lie beside
// their neighbours in the layout, so that a group of `group_tiles` tiles
// spans a narrow range of bytes in each coordinate wherever the data are
// clustered. A query's byte distance to those ranges is at most the byte
// sum of every point of the group (exact.cpp), so a group whose ranges are
// already farther than the query's bound is passed over whole, with the
// same rows as a scan of each of its tiles.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"

namespace plovik {

struct PointRows;

// Tiles of eight points per group (eight byte tiles, 128 points).
inline constexpr std::size_t group_tiles = 16;

// The bytes of one range row: d padded to whole vectors of 32.
inline std::size_t range_stride(std::size_t d) { return (d + 31) / 32 * 32; }

// A Morton key of up to eight coordinates: `bits` bits of each wrapped
// (wrap_f32) coordinate's cell, interleaved from the highest.
struct SpatialKey {
  std::size_t used = 0, bits = 0;
  std::array<std::size_t, 8> coords{};
  std::array<uint16_t, 256> spread{};  // a cell's bits, `used` places apart

  uint16_t of(const double* row) const;
};

// The points in layout order: order[position] their id, sorted by the key
// of up to eight of their most spread coordinates (by their variance over
// a sample of the points), ties in id order; group_keys the key of each
// group's first point, so that a query's key finds the group of its cell.
// Empty (the identity) below `ordered_from` points or from 2^32 on, in
// fewer than four coordinates, and for points spread evenly in several
// dimensions (order.cpp).
struct SpatialOrder {
  SpatialKey key;
  Array<uint32_t> order;
  Array<uint16_t> group_keys;
};
inline constexpr std::size_t ordered_from = 4096;
SpatialOrder spatial_order(const PointRows& p);

// The group of [g0, g1) whose first key is the last at most `key` (g0 when none is).
std::size_t group_of_key(const SpatialOrder& o, uint16_t key, std::size_t g0, std::size_t g1);

// Per group of the laid-out byte tiles `codes` (n_tiles tiles of eight, d
// coordinates), each coordinate's lowest and highest byte: range_stride(d)
// lows, then as many highs (padding coordinates 0 and 255). The padding
// lanes of the last tile count as points: a wider range is still a bound.
Array<uint8_t> group_ranges(const uint8_t* codes, std::size_t n_tiles, std::size_t d);

}  // namespace plovik
