#include "index/tiers/drop_retired.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "index/tiers/ranges.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Whether a tier's points are live: bit i of the tier's live bits
// (tier_live_bits) for its stored id i.
struct LiveBits {
  const uint64_t* words;

  uint32_t live(uint32_t stored) const {
    return static_cast<uint32_t>((words[stored >> 6] >> (stored & 63)) & 1);
  }
};

// Moves the live ids of ids[begin, end) to ids[o ..] (o <= begin: every
// place written has been read already), keeping their order; returns the
// new o. Every id is written, and the place after it taken only when it is
// live, so that no branch waits on the bits. Four ids at a time: their
// bits are looked up before any of them is written.
inline std::size_t keep_live(uint32_t* ids, std::size_t begin, std::size_t end,
                             const LiveBits& bits, std::size_t o) {
  std::size_t p = begin;
  for (; p + 4 <= end; p += 4) {
    const uint32_t a = ids[p], b = ids[p + 1], c = ids[p + 2], e = ids[p + 3];
    const uint32_t la = bits.live(a), lb = bits.live(b), lc = bits.live(c), le = bits.live(e);
    ids[o] = a;
    o += la;
    ids[o] = b;
    o += lb;
    ids[o] = c;
    o += lc;
    ids[o] = e;
    o += le;
  }
  for (; p < end; ++p) {
    const uint32_t id = ids[p];
    ids[o] = id;
    o += bits.live(id);
  }
  return o;
}

// Table t's run of n entries compacted to its first live ones, its dense
// directory row (stride entries) counting only them.
void compact_dense(uint32_t* ids, uint32_t* row, std::size_t stride, const LiveBits& bits) {
  // Entry c counts the kept keys below c; the old entry c + 1 (where key c
  // ends) is read before it is replaced.
  std::size_t o = 0, begin = row[0];
  for (std::size_t c = 0; c + 1 < stride; ++c) {
    const std::size_t end = row[c + 1];
    row[c] = static_cast<uint32_t>(o);
    o = keep_live(ids, begin, end, bits, o);
    begin = end;
  }
  row[stride - 1] = static_cast<uint32_t>(o);
}

// The same through the table's nb occupied buckets (keys, and starts with
// one more entry): a bucket left empty leaves them, the others keep their
// order at the front of the table's part.
void compact_buckets(uint32_t* ids, int64_t* keys, uint32_t* starts, std::size_t nb,
                     const LiveBits& bits) {
  std::size_t o = 0, w = 0, begin = starts[0];
  for (std::size_t j = 0; j < nb; ++j) {
    const std::size_t end = starts[j + 1], start = o;
    o = keep_live(ids, begin, end, bits, o);
    begin = end;
    if (o == start) continue;  // every entry of the bucket retired
    keys[w] = keys[j];
    starts[w] = static_cast<uint32_t>(start);
    ++w;
  }
  starts[w] = static_cast<uint32_t>(o);
}

// Closes the gaps the compaction left between the bucket lists of the
// tables: each table's kept buckets are those before its first start equal
// to `entries` (the closing one; a kept bucket starts before it).
void join_kept_buckets(Tier& tier, std::size_t L, std::size_t entries) {
  uint64_t* first = tier.first_bucket.data();
  std::size_t at = 0;
  for (std::size_t t = 0; t < L; ++t) {
    const std::size_t from = first[t], nb = first[t + 1] - from;
    const uint32_t* starts = tier.bucket_starts.data() + from + t;
    std::size_t kept = 0;
    while (kept < nb && starts[kept] != entries) ++kept;
    std::memmove(tier.bucket_keys.data() + at, tier.bucket_keys.data() + from,
                 kept * sizeof(int64_t));
    std::memmove(tier.bucket_starts.data() + at + t, starts, (kept + 1) * sizeof(uint32_t));
    first[t] = at;
    at += kept;
  }
  first[L] = at;
  tier.bucket_keys.resize(at);
  tier.bucket_starts.resize(at + L);
}

}  // namespace

Array<uint64_t> tier_retired_bits(const RetiredSet& retired, uint64_t base, std::size_t points) {
  Array<uint64_t> out((points + 63) / 64, 0);
  const std::size_t shift = base & 63;
  const uint64_t first = base >> 6;
  const auto word = [&](uint64_t w) { return w < retired.words.size() ? retired.words[w] : 0; };
  for (std::size_t i = 0; i < out.size(); ++i) {
    const uint64_t low = word(first + i) >> shift;
    out[i] = shift == 0 ? low : low | word(first + i + 1) << (64 - shift);
  }
  // Bits past the tier's last point (of the next tier's points) stay clear.
  if (points % 64 != 0) out.back() &= (uint64_t{1} << (points % 64)) - 1;
  return out;
}

Array<uint64_t> tier_live_bits(const RetiredSet& retired, uint64_t base, std::size_t points) {
  Array<uint64_t> out = tier_retired_bits(retired, base, points);
  for (uint64_t& w : out) w = ~w;
  if (points % 64 != 0) out.back() &= (uint64_t{1} << (points % 64)) - 1;
  return out;
}

std::size_t first_bad_id(const uint32_t* ids, std::size_t m, std::size_t points,
                         const Array<uint64_t>& taken, std::vector<uint64_t>& seen) {
  // The ids met so far and the retired, one bit each: a bit met twice is a
  // repeat or a retired point.
  seen.assign(taken.begin(), taken.end());
  seen.resize((points + 63) / 64, 0);
  for (std::size_t j = 0; j < m; ++j) {
    const uint32_t id = ids[j];
    if (id >= points) return j;
    uint64_t& w = seen[id >> 6];
    const uint64_t bit = uint64_t{1} << (id & 63);
    if ((w & bit) != 0) return j;
    w |= bit;
  }
  return m;
}

bool tier_holds_live_points(const Index& ix, const Tier& tier, std::size_t points,
                            const Array<uint64_t>& retired) {
  const std::size_t L = ix.l, n = tier.entries;
  if (n == 0) return true;
  std::vector<uint8_t> bad(L, 0);
  parallel::for_tasks(
      L, [] { return std::vector<uint64_t>(); },
      [&](std::vector<uint64_t>& seen, std::size_t t) {
        bad[t] =
            first_bad_id(tier.ids.data() + t * tier.ids_per_table, n, points, retired, seen) != n;
      });
  return std::find(bad.begin(), bad.end(), 1) == bad.end();
}

void drop_retired(const Index& ix, Tier& tier, const Array<uint64_t>& live,
                  std::size_t entries) noexcept {
  const std::size_t L = ix.l, n = tier.entries;
  if (entries == n) return;
  if (entries == 0) {
    tier = Tier{};
    return;
  }
  const TierView old = tier_view(tier, 0, L);
  const std::size_t stride = old.dir != nullptr ? old.stride : 0;
  const LiveBits bits{live.data()};
  // Each table in its own part of the arrays, in parallel.
  parallel::for_each(L, [&](std::size_t t) noexcept {
    uint32_t* ids = tier.ids.data() + t * tier.ids_per_table;
    if (stride != 0) {
      compact_dense(ids, tier.offsets.data() + t * stride, stride, bits);
    } else {
      const std::size_t from = old.first_bucket[t];
      compact_buckets(ids, tier.bucket_keys.data() + from, tier.bucket_starts.data() + from + t,
                      old.table_buckets(t), bits);
    }
  });
  // Each table keeps its part of the ids: closing the gaps would move every
  // id a second time. The gaps stay until the tier is next written anew.
  if (stride == 0) join_kept_buckets(tier, L, entries);
  tier.entries = entries;
}

}  // namespace plovik
