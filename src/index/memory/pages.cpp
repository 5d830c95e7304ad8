#include "index/memory/pages.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace plovik {

void* map_pages(std::size_t bytes) {
  const bool huge = bytes >= huge_page_bytes;
  const std::size_t extra = huge ? huge_page_bytes : 0;
  if (bytes > SIZE_MAX - extra) throw std::bad_alloc();
  void* mapped =
      mmap(nullptr, bytes + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  if (!huge) return mapped;
  // Keep the huge-page-aligned `bytes` inside the mapping; unmap the rest.
  const auto at = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t start = (at + huge_page_bytes - 1) & ~uintptr_t{huge_page_bytes - 1};
  if (start != at) munmap(mapped, start - at);
  const std::size_t tail = extra - (start - at);
  void* p = static_cast<char*>(mapped) + (start - at);
  if (tail != 0) munmap(static_cast<char*>(p) + bytes, tail);
  madvise(p, bytes, MADV_HUGEPAGE);  // advice only; failure is harmless
  return p;
}

void unmap_pages(void* p, std::size_t bytes) noexcept { munmap(p, bytes); }

void release_pages(void* p, std::size_t bytes) noexcept { madvise(p, bytes, MADV_DONTNEED); }

}  // namespace plovik
