// The web host's static files: URL path checks and opening beneath the web-root directory.
//
// CheckStaticPath takes the raw (still percent-encoded) path below the `webroot` prefix and gives
// the relative file path, refusing what could leave the directory or name a file ambiguously:
// an encoded "/" or "\" (%2F, %5C), a NUL byte (plain or %00), a bad escape, a "\" and any "." or
// ".." segment, decoded or not. OpenBeneath opens the file relative to the directory with
// openat2(RESOLVE_BENEATH): a symbolic link that points outside is refused by the kernel. A
// directory is answered by its index.html. Thread-safe; no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace web_host {

constexpr int kStaticOk = 0;
constexpr int kStaticRefused = -403;  // the path tries to leave, or is malformed
constexpr int kStaticMissing = -404;

// Sets *relative to the decoded path ("" for the directory itself).
[[nodiscard]] int CheckStaticPath(std::string_view rawPath, std::string* relative);

// Opens `relative` below the directory `root` for reading: the descriptor and its size, or
// kStaticRefused / kStaticMissing. A file inside `privateDir` (the home directory: settings,
// account files, mailboxes and queues) is refused, unless `root` itself lies inside it (web files
// kept in a directory of the home): a web root set to the home directory or above it would
// otherwise hand every mailbox and password to any client.
[[nodiscard]] int OpenBeneath(const std::string& root, const std::string& relative, int* fd,
                              uint64_t* size, const std::string& privateDir = std::string());

// The Content-Type of a file name by its extension.
const char* ContentTypeOf(std::string_view name);

}  // namespace web_host
