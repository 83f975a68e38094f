#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/name_cache_internal.h"
#include "platform/text.h"

namespace platform {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

constexpr uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

}  // namespace

CNameCache& CNameCache::Instance() {
  // Never destroyed: lookups may run in threads that outlive static destruction.
  static CNameCache* cache = new CNameCache();
  return *cache;
}

uint64_t CNameCache::Readings() {
  std::lock_guard<std::mutex> lock(mu_);
  return readings_;
}

void CNameCache::StartLocked() {
  pid_t pid = ::getpid();
  if (pid == owner_) return;
  // First use, or a child made by fork: the notices descriptor (if any) is shared with the
  // parent, whose notices this process must neither take nor trust.
  owner_ = pid;
  dirs_.clear();
  big_.clear();
  byWatch_.clear();
  keptNames_ = 0;
  notices_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
}

void CNameCache::Add(Directory* d, const std::string& name) {
  Spellings& s = d->names[ToLower(name)];
  if (s.first.empty()) {
    s.first = name;
  } else if (name != s.first && std::find(s.more.begin(), s.more.end(), name) == s.more.end()) {
    if (name < s.first) {
      s.more.push_back(std::move(s.first));
      s.first = name;
    } else {
      s.more.push_back(name);
    }
  }
}

void CNameCache::Remove(Directory* d, const std::string& name) {
  auto it = d->names.find(ToLower(name));
  if (it == d->names.end()) return;
  Spellings& s = it->second;
  if (s.first == name) {
    if (s.more.empty()) {
      d->names.erase(it);
      return;
    }
    auto next = std::min_element(s.more.begin(), s.more.end());
    s.first = std::move(*next);
    s.more.erase(next);
  } else {
    s.more.erase(std::remove(s.more.begin(), s.more.end(), name), s.more.end());
  }
}

void CNameCache::DropLocked(std::map<Key, Directory>::iterator it) {
  if (it->second.watch >= 0) {
    ::inotify_rm_watch(notices_.get(), it->second.watch);
    byWatch_.erase(it->second.watch);
  }
  keptNames_ -= std::min(keptNames_, it->second.names.size());
  dirs_.erase(it);
}

void CNameCache::DropAllLocked() {
  while (!dirs_.empty()) DropLocked(dirs_.begin());
  keptNames_ = 0;
}

void CNameCache::TakeNoticesLocked() {
  if (!notices_) return;
  alignas(inotify_event) char buf[16384];
  for (;;) {
    ssize_t n = ::read(notices_.get(), buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;  // EAGAIN: every queued notice is taken
    }
    for (ssize_t off = 0; off < n;) {
      inotify_event ev;
      std::memcpy(&ev, buf + off, sizeof ev);
      const char* name = buf + off + sizeof ev;
      off += static_cast<ssize_t>(sizeof ev + ev.len);
      if (ev.mask & IN_Q_OVERFLOW) {
        // Changes were lost: nothing kept can be trusted.
        DropAllLocked();
        continue;
      }
      auto w = byWatch_.find(ev.wd);
      if (w == byWatch_.end()) continue;  // a directory given up
      auto d = dirs_.find(w->second);
      if (d == dirs_.end()) continue;
      if (ev.mask & (IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) {
        if (ev.mask & IN_IGNORED) d->second.watch = -1;  // the kernel removed the watch already
        if (d->second.watch < 0) byWatch_.erase(w);
        big_.erase(d->first);  // gone: its inode number may be given to another
        DropLocked(d);
        continue;
      }
      if (ev.len == 0) continue;
      std::string entry(name, ::strnlen(name, ev.len));
      size_t before = d->second.names.size();
      if (ev.mask & (IN_CREATE | IN_MOVED_TO)) Add(&d->second, entry);
      if (ev.mask & (IN_DELETE | IN_MOVED_FROM)) Remove(&d->second, entry);
      keptNames_ = keptNames_ + d->second.names.size() - before;
    }
  }
}

void CNameCache::MakeRoomLocked(size_t names) {
  while (!dirs_.empty() && (dirs_.size() >= kMaxDirectories || keptNames_ + names > kMaxNames)) {
    auto oldest = dirs_.begin();
    for (auto it = dirs_.begin(); it != dirs_.end(); ++it) {
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    }
    DropLocked(oldest);
  }
}

std::string CNameCache::ReadLocked(const std::string& dir, const std::string& name,
                                   const Key* bigKey) {
  bool keep = bigKey != nullptr && big_.count(*bigKey) != 0;
  ++readings_;
  DirHandle d(::opendir(dir.empty() ? "." : dir.c_str()));
  if (!d) return name;
  int watch = -1;
  Key key{};
  if (keep && notices_) {
    // The watch is put on the directory that was opened (through its descriptor, whatever its
    // path leads to by now), before its entries are read: a change made while they are read is
    // also noticed, and a notice only confirms what the reading may already have seen.
    struct stat st;
    int fd = ::dirfd(d.get());
    if (::fstat(fd, &st) == 0) {
      key = Key{st.st_dev, st.st_ino};
      std::string self = "/proc/self/fd/" + std::to_string(fd);
      watch = ::inotify_add_watch(notices_.get(), self.c_str(), kWatchMask);
    }
  }
  if (watch >= 0) {
    // A directory already kept under this watch is read again: its old names go, the watch
    // stays.
    auto w = byWatch_.find(watch);
    if (w != byWatch_.end()) {
      auto old = dirs_.find(w->second);
      byWatch_.erase(w);
      if (old != dirs_.end()) {
        old->second.watch = -1;
        DropLocked(old);
      }
    }
    auto same = dirs_.find(key);
    if (same != dirs_.end()) DropLocked(same);
  }
  Directory kept;
  std::string best;
  size_t entries = 0;
  while (dirent* e = ::readdir(d.get())) {
    std::string entry = e->d_name;
    if (EqualNoCase(entry, name) && (best.empty() || entry < best)) best = entry;
    if (entry == "." || entry == "..") continue;
    ++entries;
    if (watch >= 0) Add(&kept, entry);
  }
  if (watch < 0 && bigKey != nullptr && entries >= kMinEntries) {
    // Big: its names are kept from its next reading on (no watch is made and removed again for
    // each lookup in a small directory).
    if (big_.size() >= kMaxBigKnown) big_.clear();
    big_.insert(*bigKey);
  }
  if (watch >= 0) {
    if (kept.names.size() < kMinEntries || kept.names.size() > kMaxNames) {
      ::inotify_rm_watch(notices_.get(), watch);
    } else {
      MakeRoomLocked(kept.names.size());
      kept.watch = watch;
      kept.lastUse = ++clock_;
      keptNames_ += kept.names.size();
      byWatch_[watch] = key;
      dirs_[key] = std::move(kept);
    }
  }
  return best.empty() ? name : best;
}

std::string CNameCache::Match(const std::string& dir, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  StartLocked();
  if (!notices_) return ReadLocked(dir, name, nullptr);
  TakeNoticesLocked();
  struct stat st;
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return name;  // nothing can be found in it
  }
  Key key{st.st_dev, st.st_ino};
  auto it = dirs_.find(key);
  if (it == dirs_.end()) return ReadLocked(dir, name, &key);
  it->second.lastUse = ++clock_;
  auto f = it->second.names.find(ToLower(name));
  return f == it->second.names.end() ? name : f->second.first;
}

}  // namespace platform
