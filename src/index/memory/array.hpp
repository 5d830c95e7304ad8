// Flat owned arrays of the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "index/memory/adopted.hpp"
#include "index/memory/array_reuse.hpp"
#include "index/memory/pages.hpp"

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

  // Arrays from map_from bytes on (ids, coordinates, keys and scratch of
  // many points) have pages of their own (pages.hpp), so that freeing one
  // gives its memory back. From 2 MiB on they are placed on transparent
  // huge pages where the system allows it: filling them then takes a few
  // hundred page faults instead of hundreds of thousands. Inside build,
  // update and promote an index also reuses the ones its previous such call
  // replaced (array_reuse.hpp).
  static constexpr std::size_t map_from = std::size_t{1} << 18;

  // The bytes of pages an array of `bytes` takes: whole huge pages from
  // huge_page_bytes on, else whole pages.
  static std::size_t mapped_bytes(std::size_t bytes) {
    return round_up(bytes, bytes >= huge_page_bytes ? huge_page_bytes : page_bytes);
  }

  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < map_from) return std::allocator<T>::allocate(n);
    if (bytes > std::size_t(-1) - huge_page_bytes) throw std::bad_alloc();
    const std::size_t rounded = mapped_bytes(bytes);
    ArrayReuse* reuse = ReuseScope::current();
    if (reuse != nullptr)
      if (void* reused = reuse->take(rounded)) return static_cast<T*>(reused);
    void* p = map_pages(rounded);
    if (reuse != nullptr) reuse->note_allocated(rounded);
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < map_from) {
      std::allocator<T>::deallocate(p, n);
      return;
    }
    const std::size_t rounded = mapped_bytes(bytes);
    // A buffer holding a file mapping (file_map.hpp) is never kept.
    if (adopted_release(p)) {
      unmap_pages(p, rounded);
      return;
    }
    if (ArrayReuse* reuse = ReuseScope::current())
      if (reuse->keep(p, rounded)) return;
    unmap_pages(p, rounded);
  }

  static std::size_t round_up(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) & ~(unit - 1);
  }

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

// Gives back the memory of the pages of a's capacity past its elements (an
// array with pages of its own); its capacity stays, read as zeros.
template <class T>
void release_unused(Array<T>& a) noexcept {
  using Alloc = DefaultInitAllocator<T>;
  if (a.capacity() * sizeof(T) < Alloc::map_from) return;
  const std::size_t used = Alloc::round_up(a.size() * sizeof(T), huge_page_bytes);
  const std::size_t all = Alloc::mapped_bytes(a.capacity() * sizeof(T));
  if (all > used) release_pages(reinterpret_cast<char*>(a.data()) + used, all - used);
}

// Gives back the memory of the whole pages inside elements [first, last) of
// `a` (an array with pages of its own; nothing otherwise). Those elements
// read as zeros afterwards: only for values no one reads again, such as
// those of an array already copied to its replacement.
template <class T>
void release_elements(Array<T>& a, std::size_t first, std::size_t last) noexcept {
  using Alloc = DefaultInitAllocator<T>;
  if (a.capacity() * sizeof(T) < Alloc::map_from || last <= first) return;
  const std::size_t begin = Alloc::round_up(first * sizeof(T), page_bytes);
  const std::size_t end = last * sizeof(T) / page_bytes * page_bytes;
  if (end > begin) release_pages(reinterpret_cast<char*>(a.data()) + begin, end - begin);
}

// Frees `a` whose pages were given back already (release_elements): it is
// unmapped rather than kept for reuse, where it would spare no page.
template <class T>
void free_released(Array<T>& a) noexcept {
  using Alloc = DefaultInitAllocator<T>;
  const std::size_t bytes = a.capacity() * sizeof(T);
  if (bytes >= Alloc::map_from)
    if (ArrayReuse* reuse = ReuseScope::current()) reuse->forget(Alloc::mapped_bytes(bytes));
  ReuseSuspended unkept;
  Array<T>().swap(a);
}

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
