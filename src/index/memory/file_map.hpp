// Arrays whose values are the bytes of a file, mapped rather than read: a
// private copy-on-write mapping, so that every process mapping the same
// file shares its pages until one of them writes a page (which then becomes
// that process's own copy). Loading such an array costs the same whatever
// its size; its pages are read from the file when first touched.
//
// An adopted array is an ordinary Array: its buffer is a large allocation
// of the allocator (array.hpp) whose leading pages the file mapping replaces
// in place, so it is unmapped with exactly the length it was allocated
// with. The allocator never keeps such a buffer for reuse (its pages hold
// the file, not scratch memory): it asks adopted_release() first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "index/memory/adopted.hpp"
#include "index/memory/array.hpp"

namespace plovik {

// An open file read for mapping, closed by the destructor.
class MappedFile {
 public:
  // Opens `path` read-only; throws std::system_error (an OSError) when it
  // cannot.
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::size_t size() const { return size_; }
  const std::string& path() const { return path_; }

  // Replaces the pages [p, p + bytes rounded up to a page) of a buffer the
  // caller owns by a private mapping of the file from `offset` (a multiple
  // of page_bytes, offset + bytes within the file: the caller checks),
  // advised to use huge pages (they need an offset that is a multiple of
  // huge_page_bytes as well). Throws std::system_error.
  void map_over(void* p, std::size_t bytes, std::size_t offset) const;

 private:
  std::string path_;
  int fd_ = -1;
  std::size_t size_ = 0;
};

// An array of `count` values of T holding the file's bytes from `offset`,
// mapped, with no page of it read here. count * sizeof(T) must be at least
// DefaultInitAllocator<T>::map_from (smaller arrays are copied by the
// caller) and lie within the file from offset, a multiple of page_bytes.
template <class T>
Array<T> map_array(const MappedFile& file, std::size_t offset, std::size_t count) {
  Array<T> out;
  {
    // A fresh allocation, never a buffer kept from an earlier call.
    ReuseSuspended fresh;
    out.resize(count);  // left uninitialised: no page is touched
  }
  file.map_over(out.data(), count * sizeof(T), offset);
  adopted_note(out.data());
  return out;
}

}  // namespace plovik
