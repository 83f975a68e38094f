// Lookups of names missing in their given spelling, without reading a big directory each time.
//
// Finding the entry of a directory equal to a name without case takes a reading of the whole
// directory when the name is not present as written (an optional file of a mailbox that is
// absent, a new file's name). A mailbox of 50,000 messages would be read for each of them. The
// cache keeps the names of big directories in memory, folded to lower case, and keeps them
// current with the kernel's change notices (inotify): a notice is queued by the very call that
// adds, removes or renames an entry, before that call returns, so a lookup that first takes every
// queued notice sees each change that was made before it began, by this process or any other.
// When the notice queue overflowed, everything kept is dropped and read again on the next lookup.
//
// Directories are known by device and inode (a stat of the path on each lookup), so a renamed or
// replaced directory is never answered from another's names. A directory is kept from its
// second reading on, once the first found kMinEntries or more (smaller ones are read each time:
// that costs about what the notices do, and no watch is made for them); at most
// kMaxDirectories directories and kMaxNames names are kept, the least recently asked given up
// first. Without inotify (no instance or no watch left) every lookup reads the directory.
//
// Thread-safe (one lock). One instance per process, made on first use and never destroyed, as
// ResolvePath is a free function used from every thread; a child made by fork starts from an empty
// cache of its own and never takes the parent's notices.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

class CNameCache {
 public:
  static constexpr size_t kMinEntries = 64;
  static constexpr size_t kMaxDirectories = 128;
  static constexpr size_t kMaxNames = 1000000;  // about 100 bytes each
  static constexpr size_t kMaxBigKnown = 4096;

  static CNameCache& Instance();

  // The first entry of `dir` (byte-wise) equal to `name` without case, or `name` itself when no
  // entry is. `dir` empty is the current directory.
  std::string Match(const std::string& dir, const std::string& name);

  // Readings of a whole directory made by Match so far, for tests and measurements.
  uint64_t Readings();

 private:
  // The spellings present of one name folded to lower case; `first` is the byte-wise smallest.
  struct Spellings {
    std::string first;
    std::vector<std::string> more;
  };
  struct Directory {
    int watch = -1;
    uint64_t lastUse = 0;
    std::unordered_map<std::string, Spellings> names;  // by the folded name
  };
  using Key = std::pair<dev_t, ino_t>;

  CNameCache() = default;
  void StartLocked();
  void TakeNoticesLocked();
  void DropLocked(std::map<Key, Directory>::iterator it);
  void DropAllLocked();
  void MakeRoomLocked(size_t names);
  // Reads `dir` and returns the answer for `name`. `bigKey` is the directory's key when notices
  // work: a directory found big is remembered as such, and one known big has its names kept.
  std::string ReadLocked(const std::string& dir, const std::string& name, const Key* bigKey);
  static void Add(Directory* d, const std::string& name);
  static void Remove(Directory* d, const std::string& name);

  std::mutex mu_;
  pid_t owner_ = -1;  // the process the notices belong to
  CUniqueFd notices_;
  std::map<Key, Directory> dirs_;
  std::unordered_map<int, Key> byWatch_;
  std::set<Key> big_;  // directories found big when read (kept or given up since)
  size_t keptNames_ = 0;
  uint64_t clock_ = 0;
  uint64_t readings_ = 0;
};

}  // namespace platform
