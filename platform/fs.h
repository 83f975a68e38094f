// Plain file operations of the system, the one place that touches the file-system calls.
//
// Owns nothing between calls. Every function is thread-safe. Results: 0 success, -1 failure
// (errno-level detail is not carried across: callers report and go on). Paths are used as given;
// callers resolve case first through platform/path.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Modes of everything the server creates, whatever the umask of the process: mail, queue items,
// envelopes, busy markers, lock files, account, settings and log files belong to the owner
// alone (addresses, subjects and reversibly scrambled passwords are in them), and so do the
// directories that hold them. Every creating call of the program goes through this layer.
constexpr unsigned kPrivateFileMode = 0600;
constexpr unsigned kPrivateDirectoryMode = 0700;

// open(2) of `path` with O_CLOEXEC added; a file it creates gets kPrivateFileMode. The
// descriptor, or -1 with errno set.
int OpenPrivate(const std::string& path, int flags);

[[nodiscard]] int ReadWholeFile(const std::string& path, std::string* out);

// Replaces `path` with `data` through a temporary file in the same directory: written, synced
// (when `sync`), renamed over the old name, and the directory synced. A crash leaves either the
// old or the new content, never half a file. A new file is private; a replaced one keeps the
// owner's and the group's part of its mode and loses any access others had.
[[nodiscard]] int WriteFileAtomic(const std::string& path, std::string_view data, bool sync = true);

// Appends `data` with one write on an O_APPEND descriptor, so lines from several processes do
// not interleave inside a line. Creates the file when missing.
[[nodiscard]] int AppendToFile(const std::string& path, std::string_view data);

// As AppendToFile, but only to a file that exists under exactly this path (never creates one).
// 0 written; 1 when it cannot be opened (missing...), nothing written; -1 when a write failed.
[[nodiscard]] int AppendToExistingFile(const std::string& path, std::string_view data);

// Creates or empties the file.
[[nodiscard]] int TruncateFile(const std::string& path);

// Size in bytes, or -1 when the file does not exist.
int64_t FileSize(const std::string& path);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates a private directory; 0 also when it exists (its mode is then left as it is).
[[nodiscard]] int MakeDirectory(const std::string& path);
int RemoveFile(const std::string& path);  // 0 also when it was missing
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

namespace platform {
// Calls `visit(path, mode)` for `path` and, when it is a directory and `recursive`, for every
// entry below it, depth first (a directory before its entries); `mode` is the st_mode of lstat:
// symbolic links are reported, never followed. Entries that vanish meanwhile are skipped.
void WalkEntries(const std::string& path, bool recursive,
                 const std::function<void(const std::string&, unsigned)>& visit);
// chmod(2): the permission bits of `mode` (07777). 0 or -1.
[[nodiscard]] int ChangeMode(const std::string& path, unsigned mode);
}  // namespace platform

namespace platform {
// Creates `path` as a private directory when missing and checks that it is one: a real directory
// (not a symbolic link), owned by this process's user, with no access for group or others.
// 0 or -1 (then nothing may be stored in it that others must not read).
[[nodiscard]] int EnsurePrivateDirectory(const std::string& path);
// geteuid(2), for names of per-user directories.
unsigned EffectiveUserId();
}  // namespace platform
