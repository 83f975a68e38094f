// File names without regard to case, as the system's stored files expect.
//
// The system spells its file names freely ("MAILIN" and "mailin", "M0000001.MIM" and
// "m0000001.mim" are one file). Every path the system builds goes through ResolvePath, which
// finds each component as it exists on disk: the exact name when present, else the first
// directory entry equal to it without case, else the name as given (so it can be created).
// A "\" in a path read from a settings file or a form is taken as "/".
//
// Thread-safe; no state. The "Windows directory" that holds the locator files is $WINDIR when
// set, else /etc/quorvale.
#pragma once

#include <string>
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

// '*' matches any run, '?' one character; letters compare without case.
bool WildcardMatchNoCase(const std::string& pattern, const std::string& name);

enum class EntryKind { kFiles, kDirectories, kAll };

// Names (not paths) in `dir` matching `pattern` without case, sorted byte-wise. `dir` is resolved
// first. "." and ".." are never listed.
std::vector<std::string> FindFiles(const std::string& dir, const std::string& pattern,
                                   EntryKind kind = EntryKind::kFiles);

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
