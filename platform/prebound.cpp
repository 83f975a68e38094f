#include "platform/prebound.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr int kBacklog = 128;

std::string Normalise(const std::string& address) {
  return address.empty() ? std::string("0.0.0.0") : address;
}

struct Registry {
  std::mutex mutex;
  std::map<std::pair<std::string, int>, CUniqueFd> sockets;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // lives to the end, used by listener threads
  return *registry;
}

}  // namespace

int PrebindListener(const std::string& address, int port, std::string* error) {
  std::string where = Normalise(address) + ":" + std::to_string(port);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, Normalise(address).c_str(), &sa.sin_addr) != 1) {
    *error = "Cannot bind " + where + ": not an IPv4 address";
    return -1;
  }
  CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) {
    *error = "Cannot create a socket for " + where + ": " + std::strerror(errno);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(fd.get(), kBacklog) != 0) {
    *error = "Cannot bind " + where + ": " + std::strerror(errno);
    return -1;
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.sockets[{Normalise(address), port}] = std::move(fd);
  return 0;
}

int AdoptPreboundListener(const std::string& address, int port) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.sockets.find({Normalise(address), port});
  if (it == r.sockets.end()) return -1;
  int fd = ::fcntl(it->second.get(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A listener that was shut down (a restarting connection server kills its socket) listens
  // again: the port stays bound to the socket, and listen needs no privilege.
  ::listen(fd, kBacklog);
  return fd;
}

void ClosePreboundListeners() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.sockets.clear();
}

}  // namespace platform
