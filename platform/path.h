// File names without regard to case, as the system's stored files expect.
//
// The system spells its file names freely ("MAILIN" and "mailin", "M0000001.MIM" and
// "m0000001.mim" are one file). Every path the system builds goes through ResolvePath, which
// finds each component as it exists on disk: the exact name when present, else the first
// directory entry equal to it without case, else the name as given (so it can be created).
// A "\" in a path read from a settings file or a form is taken as "/". A path that exists as
// written costs one lstat. A name missing in its given spelling is looked for among the
// directory's entries: a small directory is read each time; the names of a big one are kept in
// memory, folded to lower case, and kept current by the kernel's change notices, so that the
// cost of such a lookup does not grow with the number of entries (platform/name_cache_internal.h).
//
// CDirectoryListing answers questions about many names of one directory (which exist, under which
// spelling, which match a pattern) from one reading of it, with the same case rules.
//
// Thread-safe; the only state is that cache of names (a CDirectoryListing belongs to one
// thread). The "Windows directory" that holds the locator files is $WINDIR when set, else
// /etc/quorvale.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

// "\" -> "/".
std::string NormaliseSeparators(std::string path);

// `dir` + "/" + `name`, without doubling a separator.
std::string JoinPath(const std::string& dir, const std::string& name);

// The last component of `path` and everything before it.
std::string BaseName(const std::string& path);
std::string DirName(const std::string& path);

// Resolves each component of `path` as described above.
std::string ResolvePath(const std::string& path);

// Whether `path`, with its symbolic links followed and "." and ".." applied (the part that does
// not exist yet taken as written), lies below the directory `root` (resolved the same way).
// False when either cannot be resolved.
bool PathBelow(const std::string& path, const std::string& root);

// '*' matches any run, '?' one character; letters compare without case.
bool WildcardMatchNoCase(const std::string& pattern, const std::string& name);

enum class EntryKind { kFiles, kDirectories, kAll };

// Names (not paths) in `dir` matching `pattern` without case, sorted byte-wise. `dir` is resolved
// first. "." and ".." are never listed. One reading of the directory.
std::vector<std::string> FindFiles(const std::string& dir, const std::string& pattern,
                                   EntryKind kind = EntryKind::kFiles);

// One reading of a directory (one pass over its entries), asked from memory afterwards. The case
// rules are ResolvePath's: a name is found under its exact spelling when listed, else under the
// first entry (byte-wise) equal to it without case. A snapshot: an entry made or removed while
// or after the directory was read may be missing or stale, so callers whose decision would be
// unsafe on a missed file check that one file on disk again.
class CDirectoryListing {
 public:
  // Reads `dir` (resolved first). False when it cannot be read; the listing is then empty.
  bool Read(const std::string& dir);
  // The resolved directory that was read.
  const std::string& Directory() const { return dir_; }
  size_t Size() const { return entries_.size(); }
  // The spelling under which `name` exists, or nullptr when no entry equals it without case.
  const std::string* Find(std::string_view name) const;
  bool Exists(std::string_view name) const { return Find(name) != nullptr; }
  // Only this exact spelling.
  bool ExistsExactly(std::string_view name) const;
  // The path ResolvePath would give for `name` in the directory: its listed spelling, else the
  // name as given (so it can be created).
  std::string PathOf(const std::string& name) const;
  // Names matching `pattern` without case ('*', '?'), of `kind`, sorted byte-wise.
  std::vector<std::string> Match(const std::string& pattern,
                                 EntryKind kind = EntryKind::kFiles) const;
  // Every listed name, sorted byte-wise.
  std::vector<std::string> Names() const;

 private:
  struct Entry {
    std::string name;
    bool isDirectory = false;
  };
  std::string dir_;
  std::vector<Entry> entries_;  // sorted by name
  // Lower-case name -> index of the first entry of that name without case; built on first use.
  mutable std::unordered_map<std::string, size_t> folded_;
  mutable bool foldedBuilt_ = false;
};

// The path with the first letter of its file name replaced by `letter`, in the case of the letter
// it replaces ("M0001.MIM" -> "R0001.MIM", "m0001.mim" -> "r0001.mim").
std::string SiblingName(const std::string& path, char letter);

// The path with the text after the last "." of the file name replaced by `ext` (appended with a
// "." when the name has none). A dot in a directory name is not an extension.
std::string ReplaceExtension(const std::string& path, const std::string& ext);

// The directory of the locator files (TORVIK.INI, ZEPHANT.INI).
std::string WindowsDirectory();

// A bare file name (no "/") is taken to live in the Windows directory, as the profile functions
// of the original platform did; any other path is returned unchanged.
std::string ProfilePath(const std::string& name);

}  // namespace platform
