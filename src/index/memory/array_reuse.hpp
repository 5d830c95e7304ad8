// Reuse of the large arrays that build, update and promote replace. A
// rebuild or an epoch frees arrays of the sizes it is about to allocate
// again; handing some of those address ranges back instead of fresh memory
// spares the kernel clearing their pages again.
//
// Each index keeps only buffers its own mutating calls replaced, and only
// the thread that holds the index alone reads or changes that set, so no
// buffer ever passes between threads or indexes. A kept buffer is returned
// to the kernel lazily (its pages may be reclaimed at any time under memory
// pressure) and freed when newer buffers push it out (an index keeps at
// most a quarter of the bytes of its arrays, or an eighth of the large
// arrays its calls hold when that is more, as during a call: a process
// rebuilding an index stays close to the index's own size) or with the
// index.
#pragma once

#include <cstddef>
#include <vector>

namespace plovik {

class ArrayReuse {
 public:
  ArrayReuse() = default;
  ~ArrayReuse();
  ArrayReuse(const ArrayReuse&) = delete;
  ArrayReuse& operator=(const ArrayReuse&) = delete;

  // A kept buffer of exactly `bytes`, or nullptr. It holds stale values:
  // the engine writes every array it allocates before reading it.
  void* take(std::size_t bytes) noexcept;

  // Counts a fresh buffer allocated during a call.
  void note_allocated(std::size_t bytes) noexcept;

  // Offers a buffer being freed during a call, to be kept for this call and
  // later ones. False when it could not be kept and the caller has to free
  // it.
  bool keep(void* buffer, std::size_t bytes) noexcept;

  // Counts a buffer of a call freed without being offered (its pages were
  // given back already, so keeping it would spare nothing).
  void forget(std::size_t bytes) noexcept { held_ -= bytes < held_ ? bytes : held_; }

  // The bytes of the index's arrays after a call (kept buffers not
  // included), which bound the kept ones.
  void set_index_bytes(std::size_t bytes) noexcept { index_bytes_ = bytes; }

  // Ends a call: kept buffers are freed until the kept bytes are within
  // the bound (keep does the same).
  void end_call() noexcept;

  // Bytes of the buffers kept now.
  std::size_t kept_bytes() const noexcept { return kept_bytes_; }

 private:
  void trim() noexcept;

  struct Buffer {
    void* data;
    std::size_t bytes;
  };

  std::vector<Buffer> kept_;     // oldest first
  std::size_t kept_bytes_ = 0;   // of kept_
  std::size_t held_ = 0;         // large buffers allocated in calls and not freed
  std::size_t index_bytes_ = 0;  // set_index_bytes
};

// Marks a call that replaces an index's storage (build, update, promote)
// on the thread that holds the index alone: while it exists, that thread's
// large allocations look for a buffer of the index's set and its large
// frees are kept there.
class ReuseScope {
 public:
  explicit ReuseScope(ArrayReuse& reuse) noexcept;
  ~ReuseScope();
  ReuseScope(const ReuseScope&) = delete;
  ReuseScope& operator=(const ReuseScope&) = delete;

  // The set of the scope open on this thread, or nullptr.
  static ArrayReuse* current() noexcept;

 private:
  ArrayReuse& reuse_;
  ArrayReuse* outer_;
};

// Closes the scope open on this thread while alive: Python code that a call
// runs on its thread (signal handlers, see src/binding/runtime/signals.cpp) allocates
// and frees outside the index's set.
class ReuseSuspended {
 public:
  ReuseSuspended() noexcept;
  ~ReuseSuspended();
  ReuseSuspended(const ReuseSuspended&) = delete;
  ReuseSuspended& operator=(const ReuseSuspended&) = delete;

 private:
  ArrayReuse* outer_;
};

}  // namespace plovik
