// Whole pages mapped for the engine's larger arrays. They come straight
// from the kernel and go straight back when freed, so that the resident size
// of a process follows the arrays its indexes hold: memory the C allocator
// took for them would stay with its heap after they are freed (its
// threshold for mapping a block of its own grows with every large block
// freed).
#pragma once

#include <cstddef>

namespace plovik {

inline constexpr std::size_t page_bytes = 4096;
inline constexpr std::size_t huge_page_bytes = std::size_t{1} << 21;

// `bytes` (a multiple of page_bytes) of fresh, zeroed pages; from
// huge_page_bytes on, aligned to a huge page and advised to use huge pages.
// Throws std::bad_alloc.
void* map_pages(std::size_t bytes);

// Gives back pages that map_pages returned, `bytes` as asked for.
void unmap_pages(void* p, std::size_t bytes) noexcept;

// Gives back the memory of `bytes` of mapped pages from p (huge-page
// aligned) and keeps them mapped: they read as zeros when touched again.
void release_pages(void* p, std::size_t bytes) noexcept;

}  // namespace plovik
