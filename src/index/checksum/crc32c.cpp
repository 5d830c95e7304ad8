#include "index/checksum/crc32c.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "index/cpu_features.hpp"

#if PLOVIK_SSE42_TARGET
#include <nmmintrin.h>
#endif

// Both versions work on the CRC register (the checksum xor 0xFFFFFFFF) and
// agree bit for bit on every input.
//
// The crc32 instruction has a latency of three cycles and a throughput of
// one per cycle, so one dependent chain runs at a third of its speed. The
// hardware version therefore checksums three adjacent blocks of the buffer
// at once, each from a zero register, and joins them: the register after
// a block A then B equals shift(register after A, |B|) xor (register of B
// from zero), where shifting by n bytes is multiplication by x^(8n) modulo
// the polynomial, a linear map of the 32 register bits that a table per
// register byte holds for the two block lengths used.

namespace plovik {

namespace {

constexpr std::uint32_t kPoly = 0x82F63B78u;  // 0x1EDC6F41 bit-reversed

using ByteTable = std::array<std::uint32_t, 256>;

// Slicing-by-8: table k advances a byte through k further zero bytes.
constexpr std::array<ByteTable, 8> make_byte_tables() {
  std::array<ByteTable, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1) != 0 ? (r >> 1) ^ kPoly : r >> 1;
    t[0][i] = r;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr std::array<ByteTable, 8> kBytes = make_byte_tables();

// a * b modulo the polynomial, both in reflected form (bit 31 is x^0).
constexpr std::uint32_t mul_mod(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if ((a & m) != 0) product ^= b;
    b = (b & 1) != 0 ? (b >> 1) ^ kPoly : b >> 1;
  }
  return product;
}

// x^(8n) modulo the polynomial: the operator that appends n zero bytes.
constexpr std::uint32_t zero_bytes_operator(std::size_t n) {
  std::uint32_t result = 1u << 31;  // x^0
  std::uint32_t square = 1u << 23;  // x^8
  for (; n != 0; n >>= 1) {
    if ((n & 1) != 0) result = mul_mod(result, square);
    square = mul_mod(square, square);
  }
  return result;
}

// The register shifted through n zero bytes, by one table per register byte.
struct ShiftTables {
  std::array<ByteTable, 4> t{};
  constexpr explicit ShiftTables(std::size_t n) {
    const std::uint32_t op = zero_bytes_operator(n);
    for (std::size_t k = 0; k < 4; ++k)
      for (std::uint32_t i = 0; i < 256; ++i) t[k][i] = mul_mod(op, i << (8 * k));
  }
  std::uint32_t operator()(std::uint32_t r) const {
    return t[0][r & 0xFF] ^ t[1][(r >> 8) & 0xFF] ^ t[2][(r >> 16) & 0xFF] ^ t[3][r >> 24];
  }
};

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

std::uint32_t portable_register(std::uint32_t r, const unsigned char* p, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; n >= 8; p += 8, n -= 8) {
      const std::uint64_t w = load64(p) ^ r;
      r = kBytes[7][w & 0xFF] ^ kBytes[6][(w >> 8) & 0xFF] ^ kBytes[5][(w >> 16) & 0xFF] ^
          kBytes[4][(w >> 24) & 0xFF] ^ kBytes[3][(w >> 32) & 0xFF] ^ kBytes[2][(w >> 40) & 0xFF] ^
          kBytes[1][(w >> 48) & 0xFF] ^ kBytes[0][w >> 56];
    }
  }
  for (; n != 0; ++p, --n) r = (r >> 8) ^ kBytes[0][(r ^ *p) & 0xFF];
  return r;
}

#if PLOVIK_SSE42_TARGET

// Block lengths of the three streams: long ones for the bulk of a buffer,
// short ones for its tail.
constexpr std::size_t kLong = 8192;
constexpr std::size_t kShort = 256;
constexpr ShiftTables kShiftLong(kLong);
constexpr ShiftTables kShiftShort(kShort);

// Three blocks of `len` bytes at a time while they fit.
__attribute__((target("sse4.2"))) inline std::uint64_t triple_blocks(std::uint64_t c0,
                                                                     const unsigned char*& p,
                                                                     std::size_t& n,
                                                                     std::size_t len,
                                                                     const ShiftTables& shift) {
  while (n >= 3 * len) {
    std::uint64_t c1 = 0, c2 = 0;
    const unsigned char* const end = p + len;
    do {
      c0 = _mm_crc32_u64(c0, load64(p));
      c1 = _mm_crc32_u64(c1, load64(p + len));
      c2 = _mm_crc32_u64(c2, load64(p + 2 * len));
      p += 8;
    } while (p != end);
    c0 = shift(static_cast<std::uint32_t>(c0)) ^ c1;
    c0 = shift(static_cast<std::uint32_t>(c0)) ^ c2;
    p += 2 * len;
    n -= 3 * len;
  }
  return c0;
}

__attribute__((target("sse4.2"))) std::uint32_t sse42_register(std::uint32_t r,
                                                               const unsigned char* p,
                                                               std::size_t n) {
  std::uint64_t c = r;
  for (; n != 0 && (reinterpret_cast<std::uintptr_t>(p) & 7) != 0; ++p, --n)
    c = _mm_crc32_u8(static_cast<std::uint32_t>(c), *p);
  c = triple_blocks(c, p, n, kLong, kShiftLong);
  c = triple_blocks(c, p, n, kShort, kShiftShort);
  for (; n >= 8; p += 8, n -= 8) c = _mm_crc32_u64(c, load64(p));
  for (; n != 0; ++p, --n) c = _mm_crc32_u8(static_cast<std::uint32_t>(c), *p);
  return static_cast<std::uint32_t>(c);
}

#endif

}  // namespace

std::uint32_t crc32c_portable(std::uint32_t value, const void* data, std::size_t n) {
  return ~portable_register(~value, static_cast<const unsigned char*>(data), n);
}

bool crc32c_hardware() { return cpu_has_sse42(); }

std::uint32_t crc32c(std::uint32_t value, const void* data, std::size_t n) {
#if PLOVIK_SSE42_TARGET
  if (cpu_has_sse42()) return ~sse42_register(~value, static_cast<const unsigned char*>(data), n);
#endif
  return crc32c_portable(value, data, n);
}

}  // namespace plovik
