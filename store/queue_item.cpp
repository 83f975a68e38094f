#include "store/queue_item.h"

#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/line_file.h"
#include "store/queue_files.h"

namespace store {
namespace {

const char* Extension(ItemKind kind) { return kind == ItemKind::kInbound ? "TMP" : "MIM"; }
char EnvelopeLetter(ItemKind kind) { return kind == ItemKind::kInbound ? 'R' : 'I'; }

}  // namespace

std::string ItemSibling(const std::string& messagePath, char letter) {
  return platform::ResolvePath(platform::SiblingName(messagePath, letter));
}

int CItemWriter::Begin(const std::string& directory, ItemKind kind, long tries, bool lowerCase) {
  Abandon();
  kind_ = kind;
  std::string dir = platform::ResolvePath(directory);
  long first = NextSequenceNumber(dir);
  if (first < 0) return -1;
  std::string extension = Extension(kind);
  if (lowerCase) extension = platform::ToLower(extension);
  if (int rc = MakeUniqueFileName(&messagePath_, dir, lowerCase ? "m" : "M", first, tries, extension);
      rc != 0) {
    return rc;
  }
  partPath_ = platform::JoinPath(dir, "~" + platform::BaseName(messagePath_) + ".part");
  if (kind != ItemKind::kMailbox) envelopePath_ = platform::SiblingName(messagePath_, EnvelopeLetter(kind));
  if (!busy_.Create(platform::SiblingName(messagePath_, 'B'))) return kErrOpen;
  if (part_.Open(partPath_, platform::FileMode::kWrite) != 0) {
    busy_.Release();
    return kErrOpen;
  }
  open_ = true;
  written_ = 0;
  return 0;
}

int CItemWriter::Write(std::string_view data) {
  if (!open_) return kErrClosed;
  if (part_.Write(data) != 0) return kErrWrite;
  written_ += static_cast<int64_t>(data.size());
  return 0;
}

int CItemWriter::Commit(std::string_view envelope) {
  if (!open_) return kErrClosed;
  if (part_.Sync() != 0) return kErrWrite;
  part_.Close();
  // The envelope first: a message under its final name always has its envelope.
  if (kind_ != ItemKind::kMailbox && platform::WriteFileAtomic(envelopePath_, envelope) != 0) {
    return kErrWrite;
  }
  if (platform::RenameFile(partPath_, messagePath_) != 0) return kErrWrite;
  if (platform::SyncDirectoryOf(messagePath_) != 0) return kErrWrite;
  busy_.Release();
  open_ = false;
  return 0;
}

void CItemWriter::Abandon() {
  if (!open_) return;
  part_.Close();
  (void)platform::RemoveFile(partPath_);
  (void)platform::RemoveFile(messagePath_);
  if (!envelopePath_.empty()) (void)platform::RemoveFile(envelopePath_);
  busy_.Release();
  open_ = false;
}

std::vector<std::string> ListCompleteItems(const std::string& directory, ItemKind kind) {
  std::string dir = platform::ResolvePath(directory);
  std::vector<std::string> out;
  for (std::string& name : platform::FindFiles(dir, std::string("M*.") + Extension(kind))) {
    std::string path = platform::JoinPath(dir, name);
    if (platform::FileExists(ItemSibling(path, 'B'))) continue;
    if (kind != ItemKind::kMailbox && !platform::FileExists(ItemSibling(path, EnvelopeLetter(kind)))) {
      continue;
    }
    out.push_back(std::move(name));
  }
  return out;
}

int RecoverInterruptedItems(const std::string& directory, ItemKind kind) {
  std::string dir = platform::ResolvePath(directory);
  int removed = 0;
  for (const std::string& name : platform::FindFiles(dir, std::string("B*.") + Extension(kind))) {
    std::string marker = platform::JoinPath(dir, name);
    platform::CLockFile probe;
    if (probe.TryAcquire(marker) != platform::LockAttempt::kHeld) continue;  // its writer lives
    std::string message = ItemSibling(marker, 'M');
    bool complete = platform::FileExists(message);
    std::string envelope;
    if (kind != ItemKind::kMailbox) {
      envelope = ItemSibling(marker, EnvelopeLetter(kind));
      std::string text;
      complete = complete && platform::ReadWholeFile(envelope, &text) == 0 &&
                 platform::ToLower(text).find("\nn=") != std::string::npos;
    }
    if (!complete) {
      (void)platform::RemoveFile(message);
      if (!envelope.empty()) (void)platform::RemoveFile(envelope);
      (void)platform::RemoveFile(platform::JoinPath(dir, "~" + platform::BaseName(message) + ".part"));
    }
    probe.Release();  // removes the marker
    ++removed;
  }
  // A queue item is removed envelope first: a message with neither envelope nor marker is one
  // whose removal was cut short (every writer makes the marker or the envelope before it).
  if (kind != ItemKind::kMailbox) {
    for (const std::string& name : platform::FindFiles(dir, std::string("M*.") + Extension(kind))) {
      std::string message = platform::JoinPath(dir, name);
      if (!platform::FileExists(ItemSibling(message, 'B')) &&
          !platform::FileExists(ItemSibling(message, EnvelopeLetter(kind)))) {
        (void)platform::RemoveFile(message);
        ++removed;
      }
    }
  }
  // A writer that died while making its marker leaves the marker's hidden first name
  // ".~<name>.<process id>.<n>"; one of a living process may be about to be locked.
  for (const std::string& name : platform::FindFiles(dir, ".~*")) {
    size_t last = name.rfind('.');
    size_t before = last == std::string::npos || last == 0 ? std::string::npos : name.rfind('.', last - 1);
    if (before == std::string::npos) continue;
    long pid = platform::ParseDecimal(name.substr(before + 1, last - before - 1));
    if (pid > 0 && platform::ProcessAlive(pid)) continue;
    (void)platform::CExclusiveFile::RemoveAbandoned(platform::JoinPath(dir, name));
  }
  return removed;
}

}  // namespace store
