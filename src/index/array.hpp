// Flat owned arrays of the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include <sys/mman.h>

namespace plovik {

// An allocator whose resize() leaves new trivially-constructible elements
// uninitialised: the engine fills every array it allocates, so zeroing
// hundreds of megabytes of keys first would only cost time.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;

  // Large arrays are read at random by the searches (coordinates, ids,
  // deduplication stamps): they are aligned to 2 MiB and offered huge pages,
  // which spares most address-translation misses and makes rows of 64 bytes
  // start on cache lines.
  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < large_bytes) return std::allocator<T>::allocate(n);
    void* p = ::operator new(bytes, std::align_val_t(huge_page));
#if defined(MADV_HUGEPAGE)
    ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure changes nothing
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < large_bytes) return std::allocator<T>::deallocate(p, n);
    ::operator delete(p, std::align_val_t(huge_page));
  }

  static constexpr std::size_t large_bytes = std::size_t{1} << 22;
  static constexpr std::size_t huge_page = std::size_t{1} << 21;

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// Engine-owned flat array. resize(n) leaves new elements uninitialised;
// resize(n, value) / assign(n, value) fill them.
template <class T>
using Array = std::vector<T, DefaultInitAllocator<T>>;

// a * b for sizes, throwing std::bad_alloc when the product cannot be
// represented: such a product is never a size anything could allocate.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_add_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

}  // namespace plovik
