#include "index/memory/array_reuse.hpp"

#include <sys/mman.h>

#include <algorithm>

#include "index/memory/pages.hpp"

namespace plovik {

namespace {

thread_local ArrayReuse* t_scope = nullptr;

}  // namespace

ArrayReuse::~ArrayReuse() {
  for (const Buffer& b : kept_) unmap_pages(b.data, b.bytes);
}

void* ArrayReuse::take(std::size_t bytes) noexcept {
  // The most recently kept buffer of the size: the likeliest to still have
  // its pages.
  for (std::size_t i = kept_.size(); i-- > 0;) {
    if (kept_[i].bytes != bytes) continue;
    void* p = kept_[i].data;
    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
    kept_bytes_ -= bytes;
    held_ += bytes;
    return p;
  }
  return nullptr;
}

void ArrayReuse::note_allocated(std::size_t bytes) noexcept { held_ += bytes; }

bool ArrayReuse::keep(void* buffer, std::size_t bytes) noexcept {
  // A buffer allocated outside every call (none of the index's) was never
  // counted; the count only bounds what is kept.
  held_ -= std::min(held_, bytes);
  try {
    kept_.push_back({buffer, bytes});
  } catch (...) {
    return false;
  }
  kept_bytes_ += bytes;
  // Nobody else can take the buffer, so the advice is given while its
  // contents are dead. Advice only; failure is harmless.
  madvise(buffer, bytes, MADV_FREE);
  // The bound holds during a call as well: what a call frees on its way
  // adds nothing to its peak beyond it.
  trim();
  return true;
}

void ArrayReuse::end_call() noexcept { trim(); }

void ArrayReuse::trim() noexcept {
  // A quarter of the index's arrays, or during a first build an eighth of
  // what its calls allocated so far (the index's old and new arrays during
  // later calls). The newest buffers are the likeliest to be asked for
  // again and to still have their pages: they are kept first, each one that
  // fits in what is left of the bound.
  const std::size_t bound = std::max(index_bytes_ / 4, held_ / 8);
  if (kept_bytes_ <= bound) return;
  std::size_t room = bound, kept = 0;
  for (std::size_t i = kept_.size(); i-- > 0;) {
    if (kept_[i].bytes <= room) {
      room -= kept_[i].bytes;
      continue;
    }
    unmap_pages(kept_[i].data, kept_[i].bytes);
    kept_[i].data = nullptr;
  }
  for (const Buffer& b : kept_)
    if (b.data != nullptr) kept_[kept++] = b;
  kept_.resize(kept);
  kept_bytes_ = bound - room;
}

ReuseScope::ReuseScope(ArrayReuse& reuse) noexcept : reuse_(reuse), outer_(t_scope) {
  t_scope = &reuse;
}

ReuseScope::~ReuseScope() {
  t_scope = outer_;
  reuse_.end_call();
}

ArrayReuse* ReuseScope::current() noexcept { return t_scope; }

ReuseSuspended::ReuseSuspended() noexcept : outer_(t_scope) { t_scope = nullptr; }

ReuseSuspended::~ReuseSuspended() { t_scope = outer_; }

}  // namespace plovik
