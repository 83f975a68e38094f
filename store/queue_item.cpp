#include "store/queue_item.h"

#include <cctype>
#include <cstdlib>

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

namespace {

long NumberOf(const std::string& path) {
  return std::strtol(platform::BaseName(path).c_str() + 1, nullptr, 10);
}

// No file of the item's message or envelope (in the spellings the naming counts) exists.
bool ItemNumberFree(const std::string& dir, const std::string& messagePrefix, char envelopeLetter,
                    long number, const std::string& extension) {
  std::string unused;
  if (MakeUniqueFileName(&unused, dir, messagePrefix, number, 1, extension) != 0) return false;
  if (envelopeLetter == 0) return true;
  std::string envelopePrefix(1, std::islower(static_cast<unsigned char>(messagePrefix[0]))
                                    ? platform::LowerChar(envelopeLetter)
                                    : envelopeLetter);
  return MakeUniqueFileName(&unused, dir, envelopePrefix, number, 1, extension) == 0;
}

}  // namespace

int CItemWriter::Begin(const std::string& directory, ItemKind kind, long tries, bool lowerCase) {
  Abandon();
  kind_ = kind;
  std::string dir = platform::ResolvePath(directory);
  long first = NextSequenceNumber(dir);
  if (first < 0) return -1;
  std::string extension = Extension(kind);
  if (lowerCase) extension = platform::ToLower(extension);
  const std::string prefix = lowerCase ? "m" : "M";
  const char envelopeLetter = kind == ItemKind::kMailbox ? 0 : EnvelopeLetter(kind);
  const long end = tries < 0 ? -1 : first + tries;
  // The busy marker reserves the name: it is made only when no file has its name, so two writers
  // that found the same number free cannot both go on; the loser takes the next number. A writer
  // that finished the same number between our search and our marker left its message (and
  // envelope) behind: those are looked for once more after the marker is ours.
  for (;;) {
    long left = end < 0 ? -1 : end - first;
    if (left == 0) return kErrNameExhausted;
    if (int rc = MakeUniqueFileName(&messagePath_, dir, prefix, first, left, extension); rc != 0) {
      return rc;
    }
    int made = busy_.CreateNew(platform::SiblingName(messagePath_, 'B'));
    if (made < 0) return kErrOpen;
    first = NumberOf(messagePath_) + 1;
    if (made == 0 && ItemNumberFree(dir, prefix, envelopeLetter, first - 1, extension)) break;
    busy_.Release();
  }
  partPath_ = platform::JoinPath(dir, "~" + platform::BaseName(messagePath_) + ".part");
  envelopePath_.clear();
  if (kind != ItemKind::kMailbox)
    envelopePath_ = platform::SiblingName(messagePath_, envelopeLetter);
  if (part_.Open(partPath_, platform::FileMode::kWrite) != 0) {
    busy_.Release();
    return kErrOpen;
  }
  open_ = true;
  envelopeWritten_ = messageMade_ = false;
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
  if (kind_ != ItemKind::kMailbox) {
    if (platform::WriteFileAtomic(envelopePath_, envelope) != 0) return kErrWrite;
    envelopeWritten_ = true;
  }
  // The final name is made exclusively (a second name of the written file): a file that took the
  // name meanwhile, from a writer without busy marker, is never replaced.
  if (platform::LinkFile(partPath_, messagePath_) != 0) return kErrWrite;
  messageMade_ = true;
  (void)platform::RemoveFile(partPath_);
  if (platform::SyncDirectoryOf(messagePath_) != 0) return kErrWrite;
  busy_.Release();
  open_ = false;
  return 0;
}

void CItemWriter::Abandon() {
  if (!open_) return;
  part_.Close();
  (void)platform::RemoveFile(partPath_);
  // Only the files this writer made: the names may belong to another writer otherwise.
  if (messageMade_) (void)platform::RemoveFile(messagePath_);
  if (envelopeWritten_) (void)platform::RemoveFile(envelopePath_);
  busy_.Release();
  open_ = false;
}

std::vector<std::string> ListCompleteItems(const std::string& directory, ItemKind kind) {
  platform::CDirectoryListing listing;
  std::vector<std::string> out;
  if (!listing.Read(directory)) return out;
  for (std::string& name : listing.Match(std::string("M*.") + Extension(kind))) {
    if (listing.Exists(platform::SiblingName(name, 'B'))) continue;
    if (kind != ItemKind::kMailbox) {
      if (!listing.Exists(platform::SiblingName(name, EnvelopeLetter(kind)))) continue;
      // The inbound intake writes its message under the final name while its marker is held; a
      // marker made while the directory was read may be missing from the listing, so it is
      // looked for once more on disk. (A mailbox message appears only whole, under its marker.)
      if (platform::FileExists(
              platform::JoinPath(listing.Directory(), platform::SiblingName(name, 'B')))) {
        continue;
      }
    }
    out.push_back(std::move(name));
  }
  return out;
}

int RecoverInterruptedItems(const std::string& directory, ItemKind kind) {
  platform::CDirectoryListing listing;
  if (!listing.Read(directory)) return 0;
  const std::string& dir = listing.Directory();
  int removed = 0;
  for (const std::string& name : listing.Match(std::string("B*.") + Extension(kind))) {
    std::string marker = platform::JoinPath(dir, name);
    platform::CLockFile probe;
    if (probe.TryAcquire(marker) != platform::LockAttempt::kHeld) continue;  // its writer lives
    // Its writer is gone; what it left is looked at on disk (the listing may predate its last
    // steps), under the spelling the listing knows, else the writer's own.
    std::string messageName = platform::SiblingName(name, 'M');
    std::string message = listing.PathOf(messageName);
    bool complete = platform::FileExists(message);
    std::string envelope;
    if (kind != ItemKind::kMailbox) {
      envelope = listing.PathOf(platform::SiblingName(name, EnvelopeLetter(kind)));
      std::string text;
      complete = complete && platform::ReadWholeFile(envelope, &text) == 0 &&
                 platform::ToLower(text).find("\nn=") != std::string::npos;
    }
    if (!complete) {
      (void)platform::RemoveFile(message);
      if (!envelope.empty()) (void)platform::RemoveFile(envelope);
    }
    // Streamed data, or a second name of a complete message left by a commit cut short.
    (void)platform::RemoveFile(
        platform::JoinPath(dir, "~" + platform::BaseName(message) + ".part"));
    probe.Release();  // removes the marker
    ++removed;
  }
  // A queue item is removed envelope first: a message with neither envelope nor marker is one
  // whose removal was cut short (every writer makes the marker or the envelope before it).
  if (kind != ItemKind::kMailbox) {
    for (const std::string& name : listing.Match(std::string("M*.") + Extension(kind))) {
      std::string markerName = platform::SiblingName(name, 'B');
      std::string envelopeName = platform::SiblingName(name, EnvelopeLetter(kind));
      if (listing.Exists(markerName) || listing.Exists(envelopeName)) continue;
      // Neither was listed; a writer may have made both while the directory was read.
      if (platform::FileExists(platform::JoinPath(dir, markerName)) ||
          platform::FileExists(platform::JoinPath(dir, envelopeName))) {
        continue;
      }
      (void)platform::RemoveFile(platform::JoinPath(dir, name));
      ++removed;
    }
  }
  // A writer that died while making its marker leaves the marker's hidden first name
  // ".~<name>.<process id>.<n>"; one of a living process may be about to be locked.
  for (const std::string& name : listing.Match(".~*")) {
    size_t last = name.rfind('.');
    size_t before = last == std::string::npos || last == 0 ? std::string::npos : name.rfind('.', last - 1);
    if (before == std::string::npos) continue;
    long pid = platform::ParseDecimal(name.substr(before + 1, last - before - 1));
    if (pid > 0 && platform::ProcessAlive(pid)) continue;
    (void)platform::CExclusiveFile::RemoveAbandoned(platform::JoinPath(dir, name));
  }
  // A whole-file rewrite (platform::WriteFileAtomic, "<name>.tmp~<process id>"; the outbound
  // client rewrites the envelope of a message kept for some of its recipients that way) whose
  // process died before the rename: the old file is intact and the copy is of no use. No reader
  // matches its name, so without this it would stay in the queue for ever.
  for (const std::string& name : listing.Match("*.tmp~*")) {
    size_t tilde = name.rfind('~');
    std::string digits = name.substr(tilde + 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    long pid = platform::ParseDecimal(digits);
    if (pid > 0 && platform::ProcessAlive(pid)) continue;
    if (platform::RemoveFile(platform::JoinPath(dir, name)) == 0) ++removed;
  }
  return removed;
}

}  // namespace store
