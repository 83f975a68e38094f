// CFile: an open file of the store, read and written in blocks. Move-only; closes on
// destruction. Not thread-safe: one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace platform {

enum class FileMode {
  kRead,      // existing file, read only
  kWrite,     // created or emptied, write only
  kAppend,    // created when missing, writes go to the end
  kUpdate,    // existing file, read and write
  kReadWrite,  // created when missing, read and write
  kCreateNew   // created for writing; fails when the name exists (reserves the name)
};

class CFile {
 public:
  CFile() = default;
  CFile(CFile&&) = default;
  CFile& operator=(CFile&&) = default;

  // 0 or -1.
  [[nodiscard]] int Open(const std::string& path, FileMode mode);
  bool IsOpen() const { return static_cast<bool>(fd_); }
  // Bytes read (0 at the end), or -1.
  long Read(char* buf, size_t size);
  // 0 when every byte was written, else -1.
  [[nodiscard]] int Write(std::string_view data);
  [[nodiscard]] int WriteAt(int64_t offset, std::string_view data);
  [[nodiscard]] int Truncate(int64_t size);
  [[nodiscard]] int Rewind();
  // fsync: the data is on disk.
  [[nodiscard]] int Sync();
  void Close() { fd_.Reset(); }

 private:
  CUniqueFd fd_;
};

}  // namespace platform
