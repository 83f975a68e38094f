// Plain file operations of the system, the one place that touches the file-system calls.
//
// Owns nothing between calls. Every function is thread-safe. Results: 0 success, -1 failure
// (errno-level detail is not carried across: callers report and go on). Paths are used as given;
// callers resolve case first through platform/path.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

[[nodiscard]] int ReadWholeFile(const std::string& path, std::string* out);

// Replaces `path` with `data` through a temporary file in the same directory: written, synced
// (when `sync`), renamed over the old name, and the directory synced. A crash leaves either the
// old or the new content, never half a file.
[[nodiscard]] int WriteFileAtomic(const std::string& path, std::string_view data, bool sync = true);

// Appends `data` with one write on an O_APPEND descriptor, so lines from several processes do
// not interleave inside a line. Creates the file when missing.
[[nodiscard]] int AppendToFile(const std::string& path, std::string_view data);

// Creates or empties the file.
[[nodiscard]] int TruncateFile(const std::string& path);

// Size in bytes, or -1 when the file does not exist.
int64_t FileSize(const std::string& path);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
[[nodiscard]] int MakeDirectory(const std::string& path);  // 0 also when it exists
int RemoveFile(const std::string& path);                   // 0 also when it was missing
[[nodiscard]] int RenameFile(const std::string& from, const std::string& to);
[[nodiscard]] int ChangeDirectory(const std::string& path);
std::string CurrentDirectory();
// Makes a file executable by owner, group and others (shell scripts the system writes).
[[nodiscard]] int MakeExecutable(const std::string& path);

}  // namespace platform

namespace platform {
// A second name for an existing file (hard link). 0 or -1.
[[nodiscard]] int LinkFile(const std::string& existing, const std::string& newName);
}  // namespace platform

namespace platform {
// Flushes every written file of the file system holding `path` to disk (one call after many
// unsynced writes). 0 or -1.
[[nodiscard]] int SyncFileSystem(const std::string& path);
// Creates the directory and any missing parents. 0 or -1.
[[nodiscard]] int MakeDirectoryTree(const std::string& path);
}  // namespace platform
