// The maildrop: one account's mailbox MAILIN/<account> as a mail client sees it.
//
// Open lists the complete messages ("M*.MIM" without a busy twin "B*.MIM", sorted by name so that
// numbers stay fixed) with their sizes, from one reading of the directory and one size per
// message, so opening costs the same per message in a mailbox of any size. Messages are only marked
// for deletion; Expunge deletes the marked files (at the client's QUIT), so a broken connection
// deletes nothing. ReadMessageLines streams a stored message line by line without the store's
// internal status line ("X-IStatus:"), for clients that must never see it.
//
// One object per session thread; other writers may add messages meanwhile (they are seen at the
// next Open).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace store {

class CMaildrop {
 public:
  struct Entry {
    std::string path;
    uint64_t size = 0;
    bool deleted = false;
  };

  // Lists MAILIN/<account> of `home`. The number of messages.
  size_t Open(const std::string& home, const std::string& account);
  size_t Count() const { return entries_.size(); }
  uint64_t TotalBytes() const { return totalBytes_; }
  // `number` counts from 1; nullptr when out of range.
  const Entry* Find(long number) const;
  // Marks a message; false when it is out of range or marked already.
  bool MarkDeleted(long number);
  void UnmarkAll();
  // Deletes the marked files; the number deleted. The maildrop is empty afterwards.
  int Expunge();
  void Clear();

 private:
  std::vector<Entry> entries_;
  uint64_t totalBytes_ = 0;
};

// Calls `line` with each line of the message file (without its line end; lines of any length),
// leaving out a first line that is the status line. `line` returns false to stop. 0, or -4 when
// the file cannot be opened (deleted meanwhile), -9 on a read error.
int ReadMessageLines(const std::string& path, const std::function<bool(std::string_view)>& line);

}  // namespace store
