// The main thread's event loop: the 100 ms tick timer, POSIX signals, the process's signal
// socket and, for the console, lines typed at the terminal.
//
// POSIX signals are caught by handlers that only write the signal number to a self-pipe; the
// loop turns them into calls of the signal handler on the main thread. Caught: SIGINT, SIGTERM,
// SIGHUP, SIGUSR1. SIGPIPE is ignored (a vanished peer is an error result, not a death).
//
// One CEventLoop per process, created and run on the main thread; Quit may be called from its
// handlers. Handlers run one at a time on the main thread.
#pragma once

#include <functional>
#include <string>

#include "platform/thread_signal.h"
#include "platform/unique_fd.h"

namespace platform {

// The POSIX signals the loop catches, named for what they ask of the process.
enum class ProcessSignal {
  kInterrupt,  // SIGINT: Ctrl-C at the terminal
  kTerminate,  // SIGTERM: the service manager's stop
  kHangup,     // SIGHUP: reload the settings
  kUser1,      // SIGUSR1: run the outbound queues now
};

class CEventLoop {
 public:
  CEventLoop() = default;
  ~CEventLoop();
  CEventLoop(const CEventLoop&) = delete;
  CEventLoop& operator=(const CEventLoop&) = delete;

  // Creates the timer and the self-pipe and installs the signal handlers. 0 or -1.
  [[nodiscard]] int Open(unsigned periodMs = 100);

  void OnTimer(std::function<void()> handler) { onTimer_ = std::move(handler); }
  void OnSignal(std::function<void(ProcessSignal)> handler) { onSignal_ = std::move(handler); }
  // Signals posted to this process through `socket` (which must outlive the loop's run).
  void WatchSignalSocket(CSignalSocket* socket, std::function<void(const ThreadSignal&)> handler);
  // Lines typed on standard input (without their line end); `eof` is true once at end of input,
  // or when reading fails (EIO: the process was put in the background, or the terminal is
  // gone; SIGTTIN is ignored so that such a read fails instead of stopping the process).
  void WatchTerminalLines(std::function<void(const std::string& line, bool eof)> handler);

  // Runs until Quit. 0 on a normal end, -1 when waiting failed.
  int Run();
  void Quit() { quit_ = true; }

 private:
  void DrainTimer();
  void DrainSignals();
  void ReadTerminal();

  CUniqueFd timer_;
  CUniqueFd pipeRead_;
  CUniqueFd pipeWrite_;
  CSignalSocket* socket_ = nullptr;
  bool watchTerminal_ = false;
  std::string terminalBuffer_;
  bool quit_ = false;
  std::function<void()> onTimer_;
  std::function<void(ProcessSignal)> onSignal_;
  std::function<void(const ThreadSignal&)> onThreadSignal_;
  std::function<void(const std::string&, bool)> onLine_;
};

}  // namespace platform
