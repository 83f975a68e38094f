#include "platform/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {
namespace {

// The write end of the self-pipe, for the async-signal-safe handler.
volatile sig_atomic_t gPipeWrite = -1;

void CatchSignal(int signo) {
  int saved = errno;
  if (gPipeWrite >= 0) {
    unsigned char b = static_cast<unsigned char>(signo);
    ssize_t ignored = ::write(gPipeWrite, &b, 1);
    (void)ignored;
  }
  errno = saved;
}

constexpr int kCaught[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};

ProcessSignal Named(int signo) {
  switch (signo) {
    case SIGINT: return ProcessSignal::kInterrupt;
    case SIGTERM: return ProcessSignal::kTerminate;
    case SIGHUP: return ProcessSignal::kHangup;
    default: break;
  }
  return ProcessSignal::kUser1;
}

}  // namespace

CEventLoop::~CEventLoop() {
  if (pipeWrite_ && gPipeWrite == pipeWrite_.get()) {
    for (int s : kCaught) ::signal(s, SIG_DFL);
    gPipeWrite = -1;
  }
}

int CEventLoop::Open(unsigned periodMs) {
  timer_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timer_) return -1;
  itimerspec period{};
  period.it_interval.tv_sec = periodMs / 1000;
  period.it_interval.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000L;
  period.it_value = period.it_interval;
  if (::timerfd_settime(timer_.get(), 0, &period, nullptr) != 0) return -1;

  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  pipeRead_.Reset(fds[0]);
  pipeWrite_.Reset(fds[1]);
  gPipeWrite = pipeWrite_.get();

  struct sigaction sa {};
  sa.sa_handler = CatchSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : kCaught) ::sigaction(s, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return 0;
}

void CEventLoop::WatchSignalSocket(CSignalSocket* socket,
                                   std::function<void(const ThreadSignal&)> handler) {
  socket_ = socket;
  onThreadSignal_ = std::move(handler);
}

void CEventLoop::WatchTerminalLines(std::function<void(const std::string&, bool)> handler) {
  // A process put in the background of its shell reads nothing instead of being stopped.
  ::signal(SIGTTIN, SIG_IGN);
  watchTerminal_ = true;
  onLine_ = std::move(handler);
}

int CEventLoop::Run() {
  quit_ = false;
  while (!quit_) {
    pollfd fds[4];
    nfds_t n = 0;
    fds[n++] = {timer_.get(), POLLIN, 0};
    fds[n++] = {pipeRead_.get(), POLLIN, 0};
    int socketIndex = -1, terminalIndex = -1;
    if (socket_ != nullptr && socket_->Bound()) {
      socketIndex = static_cast<int>(n);
      fds[n++] = {socket_->Descriptor(), POLLIN, 0};
    }
    if (watchTerminal_) {
      terminalIndex = static_cast<int>(n);
      fds[n++] = {STDIN_FILENO, POLLIN, 0};
    }
    int ready = ::poll(fds, n, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents & POLLIN) DrainSignals();
    if (!quit_ && socketIndex >= 0 && (fds[socketIndex].revents & POLLIN)) {
      while (auto s = socket_->Receive()) {
        if (onThreadSignal_) onThreadSignal_(*s);
        if (quit_) break;
      }
    }
    if (!quit_ && terminalIndex >= 0 && (fds[terminalIndex].revents & (POLLIN | POLLHUP))) {
      ReadTerminal();
    }
    if (!quit_ && (fds[0].revents & POLLIN)) DrainTimer();
  }
  return 0;
}

void CEventLoop::DrainTimer() {
  uint64_t expirations = 0;
  if (::read(timer_.get(), &expirations, sizeof expirations) != sizeof expirations) return;
  // A late loop runs one tick, not a burst: the jobs count ticks, not wall time.
  if (onTimer_) onTimer_();
}

void CEventLoop::DrainSignals() {
  unsigned char buf[64];
  ssize_t n;
  while ((n = ::read(pipeRead_.get(), buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n && !quit_; ++i) {
      if (onSignal_) onSignal_(Named(buf[i]));
    }
  }
}

void CEventLoop::ReadTerminal() {
  char buf[1024];
  ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {  // end of input, or EIO: a background process or a terminal that is gone
    watchTerminal_ = false;
    if (!terminalBuffer_.empty() && onLine_) onLine_(terminalBuffer_, false);
    terminalBuffer_.clear();
    if (onLine_) onLine_(std::string(), true);
    return;
  }
  terminalBuffer_.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = terminalBuffer_.find('\n')) != std::string::npos && !quit_) {
    std::string line = terminalBuffer_.substr(0, nl);
    terminalBuffer_.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (onLine_) onLine_(line, false);
  }
}

}  // namespace platform
