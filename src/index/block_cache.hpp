// Reuse of the large arrays that build, update and promote replace. A
// rebuild or an epoch frees arrays of the sizes it is about to allocate
// again; handing those address ranges back instead of fresh memory spares
// the kernel zeroing hundreds of megabytes of new pages on every call.
//
// A replaced block is returned to the kernel lazily (its pages may be
// reclaimed at any time under memory pressure) and kept until such an
// operation allocates the same size again, newer blocks push it out (the
// kept bytes never exceed the bytes the engine has in use), or an index is
// destroyed.
#pragma once

#include <cstddef>

namespace plovik::blocks {

// A kept block of exactly `bytes` (a multiple of the huge-page size), or
// nullptr; only inside a ReuseScope. A block holds stale values: the engine
// writes every array it allocates before reading it.
void* take(std::size_t bytes) noexcept;

// Offers a block being freed. Kept only on a thread inside a ReuseScope,
// the oldest kept blocks being freed as far as needed to keep the kept
// bytes within the bytes in use. Returns false when the caller has to free
// the block itself.
bool keep(void* block, std::size_t bytes) noexcept;

// Frees every kept block.
void release_all() noexcept;

// Bookkeeping of the large blocks in use, which bounds what is kept.
void note_allocated(std::size_t bytes) noexcept;
void note_freed(std::size_t bytes) noexcept;

// Marks the operations that replace an index's storage (build, update,
// promote): while one exists on a thread, that thread's large allocations
// look for a kept block and its large frees are kept.
class ReuseScope {
 public:
  ReuseScope() noexcept;
  ~ReuseScope();
  ReuseScope(const ReuseScope&) = delete;
  ReuseScope& operator=(const ReuseScope&) = delete;
};

}  // namespace plovik::blocks
