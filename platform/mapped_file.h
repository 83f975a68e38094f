// CMappedFile: a file mapped read-only into memory, so that a message of any size is read
// through one view without being copied. Pages that a reader has passed can be given back
// (Release), so that a sequential pass over a big file keeps a bounded resident size; a later
// read of a released range maps it again from the file. Move-only; unmaps and closes on
// destruction. Not thread-safe: one owner at a time. The file must not shrink while it is mapped
// (a read beyond its new end would fault); message files of the store are never cut in place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

class CMappedFile {
 public:
  CMappedFile() = default;
  CMappedFile(CMappedFile&& other) noexcept;
  CMappedFile& operator=(CMappedFile&& other) noexcept;
  CMappedFile(const CMappedFile&) = delete;
  CMappedFile& operator=(const CMappedFile&) = delete;
  ~CMappedFile() { Close(); }

  // 0, or -1 when the file cannot be opened, read or mapped. An empty file gives an empty view.
  [[nodiscard]] int Open(const std::string& path);
  std::string_view View() const { return {data_, size_}; }
  // Gives back the whole pages inside [begin, end) of the view.
  void Release(size_t begin, size_t end) const;
  void Close();

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace platform
