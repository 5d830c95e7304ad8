// The buffers of the allocator (array.hpp) that hold a file mapping
// (file_map.hpp). The allocator frees such a buffer straight away, with the
// length it allocated it with, and never keeps it for reuse: its pages are
// the file's, not scratch memory.
#pragma once

#include <cstddef>

namespace plovik {

// Notes that p, a large buffer of the allocator, now holds a file mapping.
void adopted_note(void* p);

// When p is a buffer noted by adopted_note: forgets it and returns true (the
// caller unmaps it). One relaxed load while no adopted buffer exists.
bool adopted_release(void* p) noexcept;

// Adopted buffers alive in the process.
std::size_t adopted_count() noexcept;

}  // namespace plovik
