#include "platform/thread_signal.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/path.h"

namespace platform {
namespace {

constexpr mode_t kSignalSocketMode = 0660;

bool MakeAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string SignalSocketPath(const std::string& home, long id) {
  return JoinPath(home, "QUORVALE." + std::to_string(id) + ".sig");
}

unsigned RegisterMessageName(const std::string& name) {
  // A stable non-zero number in the registered-message range, derived from the name.
  unsigned h = 0xC000;
  for (unsigned char c : name) h = (h * 31 + c) & 0x3FFF;
  return 0xC000 | h;
}

std::optional<ThreadSignal> ParseSignalDatagram(const std::string& text) {
  size_t a = text.find(' ');
  if (a == std::string::npos || a == 0) return std::nullopt;
  size_t b = text.find(' ', a + 1);
  if (b == std::string::npos) return std::nullopt;
  ThreadSignal s;
  s.name = text.substr(0, a);
  char* end = nullptr;
  std::string w = text.substr(a + 1, b - a - 1);
  s.word = std::strtoul(w.c_str(), &end, 10);
  if (w.empty() || *end != '\0') return std::nullopt;
  std::string p = text.substr(b + 1);
  s.param = std::strtol(p.c_str(), &end, 10);
  if (p.empty() || *end != '\0') return std::nullopt;
  return s;
}

int PostThreadSignal(const std::string& home, long id, const ThreadSignal& signal) {
  if (id <= 0) return -1;
  sockaddr_un addr;
  if (!MakeAddress(SignalSocketPath(home, id), &addr)) return -1;
  CUniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return -1;
  std::string text =
      signal.name + " " + std::to_string(signal.word) + " " + std::to_string(signal.param);
  ssize_t n = ::sendto(fd.get(), text.data(), text.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return n == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

CSignalSocket::~CSignalSocket() {
  if (fd_) ::unlink(path_.c_str());
}

int CSignalSocket::Bind(const std::string& home, long id) {
  sockaddr_un addr;
  std::string path = SignalSocketPath(home, id);
  if (!MakeAddress(path, &addr)) return -1;
  CUniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return -1;
  ::unlink(path.c_str());  // a stale socket of an earlier process with the same id
  // The group (the web extension's host) may post signals; others may not. The socket's own
  // mode is what bind gives the file, so it is set first (and the umask cannot widen it); the
  // chmod then undoes whatever the umask took away.
  ::fchmod(fd.get(), kSignalSocketMode);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  ::chmod(path.c_str(), kSignalSocketMode);
  path_ = path;
  fd_ = std::move(fd);
  return 0;
}

std::optional<ThreadSignal> CSignalSocket::Receive() {
  if (!fd_) return std::nullopt;
  char buf[256];
  for (;;) {
    ssize_t n = ::recv(fd_.get(), buf, sizeof buf - 1, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    std::optional<ThreadSignal> s = ParseSignalDatagram(std::string(buf, static_cast<size_t>(n)));
    if (s) return s;
    // Malformed datagram: skip it and look at the next one.
  }
}

}  // namespace platform
