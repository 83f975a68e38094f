#include "net/socket_extension.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/prebound.h"
#include "platform/system.h"

namespace net {

int WsaError(int err) {
  switch (err) {
    case 0:
      return 0;
    case EWOULDBLOCK:
      return kWsaEwouldblock;
    case ECONNRESET:
    case EPIPE:
      return kWsaEconnreset;
    case EADDRINUSE:
      return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
      return kWsaEaddrnotavail;
    case EINVAL:
      return kWsaEinval;
    case ENOTCONN:
      return kWsaEnotconn;
    case ENOTSOCK:
    case EBADF:
      return kWsaEnotsock;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case EINPROGRESS:
      return 10036;
    case EMSGSIZE:
      return 10040;
    case EOPNOTSUPP:
      return 10045;
    case ENETDOWN:
      return 10050;
    case ECONNABORTED:
      return 10053;
    case ESHUTDOWN:
      return 10058;
    default:
      return 10000 + err;
  }
}

const char* WsaShutdownName(int code) {
  switch (code) {
    case 10022:
      return "WSAEINVAL";
    case 10036:
      return "WSAEINPROGRESS";
    case 10038:
      return "WSAENOTSOCK";
    case 10050:
      return "WSAENETDOWN";
    case 10057:
      return "WSAENOTCONN";
    case 10093:
      return "WSANOTINITIALISED";
    default:
      return "WSA...";
  }
}

namespace {

bool ParseIPv4(const std::string& text, in_addr* out) {
  return ::inet_pton(AF_INET, text.c_str(), out) == 1;
}

int SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  return flags < 0 ? -1 : ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

int EffectiveTimeout(int seconds) {
  if (seconds < 1) return kDefaultTimeoutSeconds;
  return seconds > kMaxTimeoutSeconds ? kMaxTimeoutSeconds : seconds;
}

CSocketExtension::CSocketExtension(int timeoutSeconds, int bufferSize)
    : buffer_(static_cast<size_t>(bufferSize) + 2),
      capacity_(static_cast<size_t>(bufferSize)),
      timeoutSeconds_(EffectiveTimeout(timeoutSeconds)) {}

CSocketExtension::~CSocketExtension() {
  int active = activeSocket_.exchange(-1);
  if (active >= 0) ::close(active);
  if (ownSocket_ >= 0 && ownSocket_ != active) ::close(ownSocket_);
  if (reserveFd_ >= 0) ::close(reserveFd_);
}

int CSocketExtension::SetError(const char* operation, int code) {
  lastOperation_ = operation;
  lastError_ = code;
  return code;
}

int CSocketExtension::Create() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    SetError("Create", WsaError(errno));
    return -1;
  }
  ownSocket_ = fd;
  return Attach();
}

int CSocketExtension::CreateDatagram() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    SetError("Create", WsaError(errno));
    return -1;
  }
  ownSocket_ = fd;
  return Attach();
}

int CSocketExtension::Attach(int handle) {
  activeSocket_ = handle;
  return 0;
}

int CSocketExtension::Bind(int port, const std::string& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  bindRefused_ = false;
  if (!address.empty() && !ParseIPv4(address, &sa.sin_addr)) {
    SetError("Bind", kWsaEinval);
    bindRefused_ = true;  // not bound: the following Listen fails
    return 0;
  }
  // A port bound while the process was still root (before it became its service user).
  if (int adopted = platform::AdoptPreboundListener(address, port); adopted >= 0) {
    if (ownSocket_ >= 0) ::close(ownSocket_);
    ownSocket_ = adopted;
    activeSocket_ = adopted;
    return 0;
  }
  int one = 1;
  ::setsockopt(activeSocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(activeSocket_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    SetError("Bind", WsaError(errno));
    return -1;
  }
  return 0;
}

int CSocketExtension::Listen(int backlog) {
  // An unbound socket would be bound by listen() itself to a random port on every interface.
  if (bindRefused_) {
    SetError("Listen", kWsaEinval);
    return -1;
  }
  if (::listen(activeSocket_, backlog) != 0) {
    SetError("Listen", WsaError(errno));
    return -1;
  }
  if (reserveFd_ < 0) reserveFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return 0;
}

bool CSocketExtension::OutOfResources() const {
  return lastError_ == WsaError(EMFILE) || lastError_ == WsaError(ENFILE) ||
         lastError_ == WsaError(ENOBUFS) || lastError_ == WsaError(ENOMEM);
}

void CSocketExtension::Refuse(int handle, const std::string& reply) {
  (void)::send(handle, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  ::close(handle);
}

int CSocketExtension::RefuseWaiting(const std::string& reply) {
  if (reserveFd_ >= 0) {
    ::close(reserveFd_);
    reserveFd_ = -1;
  }
  int fd = ::accept4(activeSocket_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) Refuse(fd, reply);
  reserveFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd >= 0 ? 0 : -1;
}

bool CSocketExtension::WaitForConnection(int milliseconds) {
  pollfd p{activeSocket_, POLLIN, 0};
  return ::poll(&p, 1, milliseconds) > 0 && (p.revents & POLLIN);
}

int CSocketExtension::AcceptSocket(std::string* address, int* port) {
  if (SetNonBlocking(ownSocket_) != 0) {
    SetError("Create", WsaError(errno));
    return -1;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = ::accept4(activeSocket_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    SetError("AcceptSocket", WsaError(errno == EAGAIN ? EWOULDBLOCK : errno));
    return -1;
  }
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  if (address) *address = text;
  if (port) *port = ntohs(sa.sin_port);
  return fd;
}

int CSocketExtension::LocalPort() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(activeSocket_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

std::vector<std::string> ResolveIPv4(const std::string& host) {
  in_addr literal;
  if (ParseIPv4(host, &literal)) return {host};
  std::vector<std::string> out;
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return out;
  for (addrinfo* a = res; a != nullptr; a = a->ai_next) {
    char text[INET_ADDRSTRLEN];
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) out.emplace_back(text);
  }
  ::freeaddrinfo(res);
  return out;
}

int CSocketExtension::Connect(const std::string& host, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  std::vector<std::string> addresses = ResolveIPv4(host);
  if (addresses.empty() || !ParseIPv4(addresses.front(), &sa.sin_addr)) {
    SetError("Connect", kWsaEinval);
    return -1;
  }
  // Bounded by the time-out: a non-blocking connect waited for with poll.
  int fd = activeSocket_;
  if (SetNonBlocking(fd) != 0) {
    SetError("Create", WsaError(errno));
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      SetError("Connect", WsaError(errno));
      return -1;
    }
    if (!(WaitFor(2) & 2)) {
      SetError("Connect", kWsaEtimedout);
      return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      SetError("Connect", WsaError(err));
      return -1;
    }
  }
  return 0;
}

int CSocketExtension::GetPeerName(std::string* address, int* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(activeSocket_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    SetError("Connect", WsaError(errno));
    return -1;
  }
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  *address = text;
  *port = ntohs(sa.sin_port);
  return 0;
}

void CSocketExtension::Kill() {
  // Shutting down wakes a thread that waits on the socket; the descriptor itself is closed by
  // the owner (the destructor), so another thread never reads a number the system reused.
  closing_ = true;
  if (::shutdown(activeSocket_, SHUT_RDWR) != 0) {
    int code = SetError("Kill (shutdown)", WsaError(errno));
    if (code != kWsaEnotconn && warning_) {
      warning_("Shutdown socket error: " + std::to_string(code) + " (" + WsaShutdownName(code) +
               ")");
    }
  }
}

int CSocketExtension::WaitFor(int flags) {
  int fd = activeSocket_;
  if (fd < 0) return 0;
  short events = 0;
  if (flags & 1) events |= POLLIN;
  if (flags & 2) events |= POLLOUT;
  if (flags & 4) events |= POLLPRI;
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutSeconds_ * 1000);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return 0;
  int ready = 0;
  // A hung-up or failed socket counts as readable: the receive then reports it.
  if ((flags & 1) && (p.revents & (POLLIN | POLLHUP | POLLERR))) ready |= 1;
  if ((flags & 2) && (p.revents & (POLLOUT | POLLHUP | POLLERR))) ready |= 2;
  if ((flags & 4) && (p.revents & POLLPRI)) ready |= 4;
  return ready;
}

int CSocketExtension::SendN(const char* data, int length) {
  int sent = 0;
  while (sent < length) {
    if (!(WaitFor(2) & 2)) return kTimedOut;
    ssize_t n = ::send(activeSocket_, data + sent, static_cast<size_t>(length - sent),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      int code = SetError("SendN", WsaError(errno == EAGAIN ? EWOULDBLOCK : errno));
      if (code == kWsaEwouldblock || errno == EINTR) continue;
      return code;
    }
    sent += static_cast<int>(n);
  }
  return sent;
}

int CSocketExtension::Receive(char* buffer, int length) {
  ssize_t n = ::recv(activeSocket_, buffer, static_cast<size_t>(length), 0);
  if (n == 0) {
    SetError("Receive", kWsaEconnreset);
    return -1;
  }
  if (n < 0) {
    SetError("Receive", WsaError(errno));
    return -1;
  }
  return static_cast<int>(n);
}

int CSocketExtension::ReceiveDatagram(char* buffer, int length, int milliseconds) {
  const uint64_t deadline =
      platform::TickCount() + static_cast<uint64_t>(milliseconds < 0 ? 0 : milliseconds);
  for (;;) {
    uint64_t now = platform::TickCount();
    int wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
    pollfd p{activeSocket_, POLLIN, 0};
    int r = ::poll(&p, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      SetError("Receive", WsaError(errno));
      return -1;
    }
    if (r == 0) return kTimedOut;
    ssize_t n = ::recv(activeSocket_, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    // Readiness without a datagram (a dropped checksum failure): wait for the rest of the time.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    SetError("Receive", WsaError(errno));
    return -1;
  }
}

long CSocketExtension::Find(const std::string& terminator) const {
  if (terminator.empty() || count_ < terminator.size()) return -1;
  const char* start = buffer_.data();
  const char* end = start + count_;
  for (const char* p = start; p + terminator.size() <= end; ++p) {
    p = static_cast<const char*>(std::memchr(p, terminator[0], static_cast<size_t>(end - p)));
    if (p == nullptr || p + terminator.size() > end) return -1;
    if (std::memcmp(p, terminator.data(), terminator.size()) == 0) return p - start;
  }
  return -1;
}

void CSocketExtension::Consume(size_t n) {
  std::memmove(buffer_.data(), buffer_.data() + n, count_ - n);
  count_ -= n;
  buffer_[count_] = '\0';
}

long CSocketExtension::Fill() {
  ssize_t n;
  do {
    n = ::recv(activeSocket_, buffer_.data() + count_, capacity_ - count_, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -(errno == EAGAIN ? EWOULDBLOCK : errno);
  count_ += static_cast<size_t>(n);
  buffer_[count_] = '\0';
  return n;
}

int CSocketExtension::ReceiveData(std::string* line) {
  long hit = Find("\r\n");
  while (hit < 0 && count_ < capacity_) {
    if (!(WaitFor(1) & 1)) {
      int code = lastError_;
      if (code == 0 || code == kWsaEwouldblock) return kTimedOut;
      return code > 0 ? -code : -1;
    }
    long n = Fill();
    if (n == 0) {
      SetError("ReceiveData", kWsaEconnreset);
      return -1;
    }
    if (n < 0) {
      int code = SetError("ReceiveData", WsaError(static_cast<int>(-n)));
      if (code == kWsaEwouldblock) continue;
      return -code;
    }
    hit = Find("\r\n");
  }
  if (hit < 0) return kBufferFull;
  size_t len = static_cast<size_t>(hit) + 2;
  line->assign(buffer_.data(), len);
  Consume(len);
  return static_cast<int>(len);
}

int CSocketExtension::ReceiveLine(std::string* line, const std::string& terminator) {
  long hit = Find(terminator);
  while (hit < 0 && count_ < capacity_) {
    if (!(WaitFor(1) & 1)) {
      SetError("ReceiveLine", 0);
      return kTimedOut;
    }
    long n = Fill();
    if (n == 0) {
      SetError("ReceiveLine", kWsaEconnreset);
      return -1;
    }
    if (n < 0) {
      int code = SetError("ReceiveLine", WsaError(static_cast<int>(-n)));
      if (code == kWsaEwouldblock) continue;
      return -1;
    }
    hit = Find(terminator);
  }
  if (hit < 0) {
    line->assign(buffer_.data(), capacity_);
    count_ = 0;
    buffer_[0] = '\0';
    return kBufferFull;
  }
  line->assign(buffer_.data(), static_cast<size_t>(hit));
  Consume(static_cast<size_t>(hit) + terminator.size());
  return 0;
}

}  // namespace net
