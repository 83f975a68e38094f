#include "store/maildrop.h"

#include <cstring>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "store/queue_item.h"
#include "store/store_paths.h"

namespace store {
namespace {

constexpr size_t kReadBlock = 64 * 1024;
constexpr std::string_view kStatusName = "X-IStatus:";

}  // namespace

size_t CMaildrop::Open(const std::string& home, const std::string& account) {
  Clear();
  std::string box = MailboxDir(home, account);
  for (const std::string& name : ListCompleteItems(box, ItemKind::kMailbox)) {
    std::string path = platform::JoinPath(box, name);
    int64_t size = platform::FileSize(path);
    if (size < 0) continue;  // gone meanwhile
    entries_.push_back({std::move(path), static_cast<uint64_t>(size), false});
    totalBytes_ += static_cast<uint64_t>(size);
  }
  return entries_.size();
}

const CMaildrop::Entry* CMaildrop::Find(long number) const {
  if (number < 1 || static_cast<size_t>(number) > entries_.size()) return nullptr;
  return &entries_[static_cast<size_t>(number) - 1];
}

bool CMaildrop::MarkDeleted(long number) {
  if (number < 1 || static_cast<size_t>(number) > entries_.size()) return false;
  Entry& e = entries_[static_cast<size_t>(number) - 1];
  if (e.deleted) return false;
  e.deleted = true;
  return true;
}

void CMaildrop::UnmarkAll() {
  for (Entry& e : entries_) e.deleted = false;
}

int CMaildrop::Expunge() {
  int removed = 0;
  for (const Entry& e : entries_) {
    if (e.deleted && platform::RemoveFile(e.path) == 0) ++removed;
  }
  Clear();
  return removed;
}

void CMaildrop::Clear() {
  entries_.clear();
  totalBytes_ = 0;
}

int ReadMessageLines(const std::string& path, const std::function<bool(std::string_view)>& line) {
  platform::CFile file;
  if (file.Open(path, platform::FileMode::kRead) != 0) return -4;
  std::string pending;
  std::vector<char> buf(kReadBlock);
  bool first = true;
  // One line without its LF and the CR before it; false to stop.
  auto emit = [&](const char* p, size_t n) {
    if (n > 0 && p[n - 1] == '\r') --n;
    std::string_view text(p, n);
    if (first) {
      first = false;
      if (text.size() > 8 && text.substr(0, kStatusName.size()) == kStatusName) return true;
    }
    return line(text);
  };
  long got;
  while ((got = file.Read(buf.data(), buf.size())) > 0) {
    const char* p = buf.data();
    const char* end = p + got;
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      if (nl == nullptr) {
        pending.append(p, end);
        break;
      }
      bool more;
      if (pending.empty()) {
        more = emit(p, static_cast<size_t>(nl - p));
      } else {
        pending.append(p, nl);
        more = emit(pending.data(), pending.size());
        pending.clear();
      }
      if (!more) return 0;
      p = nl + 1;
    }
  }
  if (got < 0) return -9;
  if (!pending.empty()) (void)emit(pending.data(), pending.size());
  return 0;
}

}  // namespace store
