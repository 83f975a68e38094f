#include "web/host/static_files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/path.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace web_host {
namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int OpenAt2(int dir, const char* path, uint64_t flags) {
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = flags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, dir, path, &how, sizeof how));
}

// Whether the open file `fd` lies in the directory `dir` (or below it), by the path the kernel
// opened, links resolved. A file whose path cannot be read counts as inside.
bool InsideDirectory(int fd, const std::string& dir) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) return true;
  target[n] = '\0';
  return platform::PathBelow(target, dir);
}

}  // namespace

int CheckStaticPath(std::string_view rawPath, std::string* relative) {
  std::string decoded;
  for (size_t i = 0; i < rawPath.size(); ++i) {
    char c = rawPath[i];
    if (c == '%') {
      if (i + 2 >= rawPath.size()) return kStaticRefused;
      int hi = Hex(rawPath[i + 1]);
      int lo = Hex(rawPath[i + 2]);
      if (hi < 0 || lo < 0) return kStaticRefused;
      c = static_cast<char>(hi * 16 + lo);
      if (c == '/' || c == '\\') return kStaticRefused;  // an encoded separator
      i += 2;
    }
    if (c == '\0' || c == '\\') return kStaticRefused;
    decoded.push_back(c);
  }
  std::string out;
  size_t pos = 0;
  while (pos <= decoded.size()) {
    size_t end = decoded.find('/', pos);
    if (end == std::string::npos) end = decoded.size();
    std::string_view segment = std::string_view(decoded).substr(pos, end - pos);
    pos = end + 1;
    if (segment.empty()) continue;  // "//" and a leading or trailing "/"
    if (segment == "." || segment == "..") return kStaticRefused;
    if (!out.empty()) out.push_back('/');
    out.append(segment);
  }
  *relative = out;
  return kStaticOk;
}

int OpenBeneath(const std::string& root, const std::string& relative, int* fd, uint64_t* size,
                const std::string& privateDir) {
  bool guarded = !privateDir.empty() && !platform::PathBelow(root, privateDir);
  platform::CUniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return kStaticMissing;
  std::string path = relative.empty() ? std::string(".") : relative;
  for (int attempt = 0; attempt < 2; ++attempt) {
    platform::CUniqueFd file(OpenAt2(dir.get(), path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return errno == EXDEV || errno == ELOOP ? kStaticRefused : kStaticMissing;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) return kStaticMissing;
    if (S_ISDIR(st.st_mode)) {
      path = relative.empty() ? std::string("index.html") : relative + "/index.html";
      continue;
    }
    if (!S_ISREG(st.st_mode)) return kStaticRefused;
    if (guarded && InsideDirectory(file.get(), privateDir)) return kStaticRefused;
    *size = static_cast<uint64_t>(st.st_size);
    *fd = file.Release();
    return kStaticOk;
  }
  return kStaticMissing;
}

const char* ContentTypeOf(std::string_view name) {
  struct Type {
    const char* suffix;
    const char* type;
  };
  static constexpr Type kTypes[] = {
      {".html", "text/html"},    {".htm", "text/html"},
      {".css", "text/css"},      {".js", "application/javascript"},
      {".txt", "text/plain"},    {".gif", "image/gif"},
      {".png", "image/png"},     {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},   {".ico", "image/x-icon"},
      {".svg", "image/svg+xml"},
  };
  for (const Type& t : kTypes) {
    if (platform::EndsWithNoCase(name, t.suffix)) return t.type;
  }
  return "application/octet-stream";
}

}  // namespace web_host
