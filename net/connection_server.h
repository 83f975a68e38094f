// CConnectionServer and CConnectionProtocol: the TCP listener and the per-connection session.
//
// A server has one listener thread that waits for connections (a readiness wait of at most
// 500 ms between checks of the stop flags) and starts one thread per accepted connection; that
// thread runs the session's protocol loop to its end, then kills the socket and removes the
// session. The listener's failures are reported once, as "<name>: <message>", and end it:
//   129 "Could not create socket."            130 "Could not listen on port, ..."
//   134 "Cannot bind socket (address in use by another program)"
//   135 "Cannot attach socket (restart the PC or the program)"
//   136 "Cannot allocate a new socket"        137 "Cannot bind to the specified IP address. ..."
// When the process stops, the listener keeps its socket until every session and client has
// ended, then closes it.
//
// Thread rules: the session list is guarded by a recursive mutex; the counters are atomics
// shared with the server core; Start, Stop, KillSession and Peers are called from the main
// thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/jobs.h"
#include "net/socket_extension.h"

namespace net {

class CConnectionServer;

class CConnectionProtocol {
 public:
  virtual ~CConnectionProtocol() = default;
  // The conversation; its result is the session thread's exit code.
  virtual int ProtocolLoop() = 0;
  virtual const char* ProtocolName() const = 0;

  CSocketExtension* Socket() { return socket_.get(); }
  const std::string& PeerAddress() const { return peerAddress_; }
  int PeerPort() const { return peerPort_; }
  CConnectionServer* Server() { return server_; }
  bool Finished() const { return finished_; }

 private:
  friend class CConnectionServer;
  int handle_ = -1;
  std::atomic<bool> finished_{true};
  std::string peerAddress_;
  int peerPort_ = 0;
  CConnectionServer* server_ = nullptr;
  std::unique_ptr<CSocketExtension> socket_;
};

using ProtocolFactory = std::function<std::unique_ptr<CConnectionProtocol>()>;
// The server's error report (message sink error in the program).
using ReportFn = std::function<void(const std::string&)>;

class CConnectionServer {
 public:
  static constexpr int kListenBacklog = 128;
  static constexpr int kSessionTimeoutSeconds = 120;

  CConnectionServer(std::string name, std::string bindAddress, int port, int timeoutSeconds,
                    ProtocolFactory factory, core::CSessionCounters& counters, ReportFn report);
  ~CConnectionServer();
  CConnectionServer(const CConnectionServer&) = delete;
  CConnectionServer& operator=(const CConnectionServer&) = delete;

  // 1 started, 0 not (the process is stopping, or no thread).
  int Start();
  // Ends the listener (waiting for it) and every session.
  void Stop();
  // Ends the first session whose peer address is `peer`. 1 found, 0 not.
  int KillSession(const std::string& peer);
  std::vector<std::string> Peers();
  const std::string& Name() const { return name_; }
  // The port listened on once the listener is up (the chosen one for port 0), else 0.
  int ListeningPort() const { return listeningPort_; }
  bool Finished() const { return finished_; }
  int RunningSessions() const { return running_; }

 private:
  int Run();
  int Report(int number);
  void StartSession(int handle);
  void SessionThread(std::shared_ptr<CConnectionProtocol> session);
  bool Stopping() const { return stop_ || counters_.stopping; }

  std::string name_;
  std::string bindAddress_;
  int port_;
  int timeoutSeconds_;
  ProtocolFactory factory_;
  core::CSessionCounters& counters_;
  ReportFn report_;
  std::recursive_mutex lock_;
  std::list<std::shared_ptr<CConnectionProtocol>> sessions_;
  std::thread listener_;
  std::atomic<bool> finished_{true};
  std::atomic<bool> stop_{false};
  std::atomic<int> listeningPort_{0};
  std::atomic<int> running_{0};
  std::mutex doneMutex_;
  std::condition_variable done_;
};

}  // namespace net
