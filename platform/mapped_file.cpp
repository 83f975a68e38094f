#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/unique_fd.h"

namespace platform {

CMappedFile::CMappedFile(CMappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

CMappedFile& CMappedFile::operator=(CMappedFile&& other) noexcept {
  if (this != &other) {
    Close();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

int CMappedFile::Open(const std::string& path) {
  Close();
  CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  if (st.st_size == 0) return 0;
  void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (p == MAP_FAILED) return -1;
  data_ = static_cast<const char*>(p);
  size_ = static_cast<size_t>(st.st_size);
  (void)::madvise(p, size_, MADV_SEQUENTIAL);
  return 0;
}

void CMappedFile::Release(size_t begin, size_t end) const {
  if (data_ == nullptr || end > size_ || begin >= end) return;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  size_t from = (begin + page - 1) / page * page;
  size_t to = end / page * page;
  if (from >= to) return;
  // The mapping is private and never written: dropped pages are read again from the file.
  (void)::madvise(const_cast<char*>(data_) + from, to - from, MADV_DONTNEED);
}

void CMappedFile::Close() {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform
