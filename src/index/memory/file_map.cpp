#include "index/memory/file_map.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace plovik {

MappedFile::MappedFile(const std::string& path) : path_(path) {
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path);
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    const int e = errno;
    ::close(fd_);
    throw std::system_error(e, std::generic_category(), path);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd_);
    throw std::system_error(EINVAL, std::generic_category(), path + " is not a regular file");
  }
  size_ = static_cast<std::size_t>(st.st_size);
}

MappedFile::~MappedFile() {
  if (fd_ >= 0) ::close(fd_);
}

void MappedFile::map_over(void* p, std::size_t bytes, std::size_t offset) const {
  if (bytes == 0) return;
  const std::size_t length = (bytes + page_bytes - 1) & ~(page_bytes - 1);
  // MAP_FIXED over pages this process owns (the caller's allocation): the
  // range is replaced in one step and stays owned by the same buffer.
  void* at = ::mmap(p, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd_,
                    static_cast<off_t>(offset));
  if (at == MAP_FAILED) throw std::system_error(errno, std::generic_category(), path_);
  // Where the file's offset and the buffer (huge-page aligned from
  // huge_page_bytes on) agree modulo a huge page, a file system with large
  // page-cache folios can then map them whole: the rows scattered reads
  // fetch miss the TLB far less. Advice only; failure is harmless.
  madvise(p, length, MADV_HUGEPAGE);
}

}  // namespace plovik
