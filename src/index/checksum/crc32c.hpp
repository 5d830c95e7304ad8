// CRC-32C (Castagnoli polynomial 0x1EDC6F41, reflected, initial value and
// final xor 0xFFFFFFFF): the checksum of saved index files. x86-64
// processors with SSE4.2 compute it with the crc32 instruction; elsewhere a
// table-driven version gives the same values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plovik {

// The CRC-32C of `n` bytes at `data` continuing from `value`, the CRC-32C of
// the bytes before them (0 for none): crc32c(crc32c(0, a), b) is the
// CRC-32C of a followed by b. Uses the crc32 instruction when the processor
// has it.
std::uint32_t crc32c(std::uint32_t value, const void* data, std::size_t n);

// The same by tables alone, on any processor.
std::uint32_t crc32c_portable(std::uint32_t value, const void* data, std::size_t n);

// Whether crc32c() uses the crc32 instruction on this processor.
bool crc32c_hardware();

}  // namespace plovik
