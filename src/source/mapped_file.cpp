// Read-only whole-file mapping with POSIX open/mmap.
#include "source/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

namespace quarlet {

Result<std::unique_ptr<MappedFile>> MappedFile::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return EseError::io_os(errno);
  return map_descriptor(fd);
}

Result<std::unique_ptr<MappedFile>> MappedFile::map_descriptor(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return EseError::io_os(err);
  }
  if (!S_ISREG(st.st_mode)) {
    // A directory or device cannot be mapped as a database file.
    ::close(fd);
    return EseError::io_os(S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
  }
  std::unique_ptr<MappedFile> f(new MappedFile());
  f->fd_ = fd;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > static_cast<uint64_t>(std::numeric_limits<size_t>::max())) {
    return EseError::io_os(EFBIG);  // f's destructor closes fd
  }
  if (size > 0) {
    void* p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return EseError::io_os(errno);
    f->data_ = static_cast<const uint8_t*>(p);
    f->mapped_ = true;
  }
  f->size_ = size;
  return f;
}

std::unique_ptr<MappedFile> MappedFile::from_bytes(std::vector<uint8_t> bytes) {
  std::unique_ptr<MappedFile> f(new MappedFile());
  f->owned_ = std::move(bytes);
  f->data_ = f->owned_.data();
  f->size_ = f->owned_.size();
  return f;
}

void MappedFile::release_resident() const {
  if (mapped_ && size_ > 0) {
    // Advice only: a failure leaves the pages resident, which is harmless.
    (void)::madvise(const_cast<uint8_t*>(data_), static_cast<size_t>(size_), MADV_DONTNEED);
  }
}

void MappedFile::populate(uint64_t offset, uint64_t length) const {
#if defined(MADV_POPULATE_READ)
  constexpr int kPopulateRead = MADV_POPULATE_READ;
#elif defined(__linux__)
  constexpr int kPopulateRead = 22;  // Linux 5.14 and later
#else
  constexpr int kPopulateRead = -1;
#endif
  if (!mapped_ || kPopulateRead < 0 || offset >= size_) return;
  const uint64_t end = std::min<uint64_t>(size_, offset + length);
  const uint64_t start = offset & ~uint64_t{4095};
  if (end <= start) return;
  (void)::madvise(const_cast<uint8_t*>(data_) + start, static_cast<size_t>(end - start),
                  kPopulateRead);
}

MappedFile::~MappedFile() {
  if (mapped_) ::munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_));
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace quarlet
