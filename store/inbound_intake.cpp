#include "store/inbound_intake.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "store/queue_files.h"
#include "store/store_paths.h"

namespace store {
namespace {

constexpr long kNameLimit = 10000000;  // 7 digits

long NumberOf(const std::string& path) {
  return std::strtol(platform::BaseName(path).c_str() + 1, nullptr, 10);
}

}  // namespace

void CInboundQueue::Advance(long hint, long taken) {
  if (taken < hint) {  // found behind the hint: the names after it ran out
    next_ = (taken + 1) % kNameLimit;
    return;
  }
  // Past names that were taken: later searches start after them, unless other sessions have
  // moved the hint further already.
  long current = next_.load();
  while (current > hint && current <= taken &&
         !next_.compare_exchange_weak(current, (taken + 1) % kNameLimit)) {
  }
}

int CInboundQueue::ReserveEnvelope(std::string* path) {
  std::string inqueue = InqueueDir(home_);
  if (!hintKnown_) {
    std::lock_guard<std::mutex> lock(firstSearch_);
    if (!hintKnown_) {
      std::string free;
      if (MakeUniqueFileName(&free, inqueue, "R", next_, -1, "TMP") == 0) next_ = NumberOf(free);
      hintKnown_ = true;
    }
  }
  // Each session starts at a number of its own (the hint moves on by one per search), so
  // sessions working at once do not all try the same name.
  long hint = next_.load();
  while (!next_.compare_exchange_weak(hint, (hint + 1) % kNameLimit)) {
  }
  // From the hint to the end of the names, then from 0 up to the hint: a queue holding more
  // items than one window of tries still takes mail, and names freed behind the hint are used
  // again once those after it run out.
  const std::pair<long, long> rounds[2] = {{hint, -1}, {0, hint}};
  for (const auto& [from, tries] : rounds) {
    if (tries == 0) break;
    long first = from;
    for (;;) {
      long left = tries < 0 ? -1 : from + tries - first;
      if (left == 0) break;
      int rc = MakeUniqueFileName(path, inqueue, "R", first, left, "TMP");
      if (rc == kErrNoDirectory) return rc;
      if (rc != 0) break;  // no free name in this round
      platform::CFile reserve;
      first = NumberOf(*path) + 1;
      if (reserve.Open(*path, platform::FileMode::kCreateNew) == 0) {
        // A message under this stem without its envelope is an item whose removal is under way
        // (envelope first, then the message): its name is not free yet, or the removal would
        // take the new message with it.
        if (platform::FileExists(platform::ResolvePath(platform::SiblingName(*path, 'M')))) {
          reserve.Close();
          (void)platform::RemoveFile(*path);
          continue;
        }
        Advance(hint, first - 1);
        return 0;
      }
      // Taken by another session in the meantime: try the next name. Any other failure
      // (permissions, a read-only or full file system, no descriptors) will not go away by
      // trying more names.
      if (errno != EEXIST) {
        path->clear();
        return kErrIntakeFile;
      }
    }
  }
  path->clear();
  next_ = 0;
  return kErrNameExhausted;
}

int ClearAbandonedReservations(const std::string& home) {
  platform::CDirectoryListing inqueue;
  if (!inqueue.Read(InqueueDir(home))) return 0;
  int removed = 0;
  for (const std::string& name : inqueue.Match("R*.TMP")) {
    if (inqueue.Exists(platform::SiblingName(name, 'M'))) continue;
    std::string envelope = platform::JoinPath(inqueue.Directory(), name);
    if (platform::FileSize(envelope) != 0) continue;
    if (platform::RemoveFile(envelope) == 0) ++removed;
  }
  return removed;
}

int CInboundItem::Reserve() {
  Abandon();
  committed_ = published_ = false;
  int rc = queue_.ReserveEnvelope(&envelopePath_);
  if (rc == 0) messagePath_ = platform::SiblingName(envelopePath_, 'M');
  return rc;
}

int CInboundItem::Open() {
  if (!Reserved() || committed_) return kErrIntakeFile;
  // Without its marker the item could be taken while it is written: no marker, no message.
  if (!marker_.Create(platform::SiblingName(messagePath_, 'B'))) return kErrIntakeFile;
  // Never over an existing file: only a writer of another program could have made it since the
  // reservation, and its message is not ours to cut.
  if (message_.Open(messagePath_, platform::FileMode::kCreateNew) != 0) {
    marker_.Release();
    return kErrIntakeFile;
  }
  return 0;
}

int CInboundItem::Write(std::string_view data) {
  if (!message_.IsOpen()) return kErrIntakeFile;
  return message_.Write(data) == 0 ? 0 : kErrIntakeFile;
}

int CInboundItem::Commit(const EnvelopeFields& envelope) {
  if (!message_.IsOpen()) return kErrIntakeFile;
  std::string text = FormatEnvelope(envelope, platform::LocalTime(platform::Now()));
  // Both files are written before the first sync, which then commits most of what the others
  // would; the directory sync makes both names durable.
  platform::CFile file;
  bool ok = file.Open(envelopePath_, platform::FileMode::kWrite) == 0 && file.Write(text) == 0 &&
            message_.Sync() == 0 && file.Sync() == 0 &&
            platform::SyncDirectoryOf(envelopePath_) == 0;
  message_.Close();
  if (!ok) {
    Abandon();
    return kErrIntakeFile;
  }
  committed_ = true;
  return 0;
}

void CInboundItem::Publish() {
  if (!committed_) return;
  published_ = true;
  marker_.Release();  // now readers may take the item
  envelopePath_.clear();
  messagePath_.clear();
}

void CInboundItem::Abandon() {
  message_.Close();
  if (!published_) {
    for (const std::string& name : {envelopePath_, messagePath_}) {
      if (!name.empty()) (void)platform::RemoveFile(name);
    }
  }
  envelopePath_.clear();
  messagePath_.clear();
  marker_.Release();  // last: no reader may take the item's files for complete
}

unsigned long CInboundItem::Number() const {
  return messagePath_.empty() ? 0 : std::strtoul(platform::BaseName(messagePath_).c_str() + 1, nullptr, 10);
}

}  // namespace store
