// The jobs the server core starts but other modules own: distribution, command queue, POP3
// collection, UUCP, outbound queues, gate daemons and the connection servers. The program wires
// one implementation; every method has a neutral default so the core runs (and is tested)
// before those modules exist.
//
// Called on the main thread only.
#pragma once

#include <atomic>

namespace core {

class CMessageSink;
struct SettingsValues;

class IServerJobs {
 public:
  virtual ~IServerJobs() = default;

  virtual void RunDistribution() {}
  virtual void RunCommandQueue() {}
  // `users`: the users' accounts; otherwise the default accounts ("$default").
  virtual void CollectPop3(bool users) { (void)users; }
  virtual void RunOutboundQueues(bool force) { (void)force; }
  // True when any outbound queue runner is busy (the exit waits for it).
  virtual bool OutboundBusy() { return false; }

  virtual int InitUucp() { return 0; }
  // Asks the gateway to poll; true when it reports a completed exchange.
  virtual bool PollUucp() { return false; }
  virtual void RunUucpExchange() {}
  virtual void ShutdownUucp() {}

  virtual void StartGates() {}
  virtual void StopGates() {}

  // Creates and starts the POP3 and SMTP connection servers (ports already resolved). A
  // non-zero result ends the start-up (a server could not be created).
  virtual int StartConnectionServers(const SettingsValues& values, CMessageSink& sink) {
    (void)values;
    (void)sink;
    return 0;
  }
  virtual void StopConnectionServers() {}
};

// Sessions and clients running in this process, maintained by their owners and read by the
// exit procedure.
struct CSessionCounters {
  std::atomic<bool> stopping{false};   // an orderly stop has begun: take no new work
  std::atomic<bool> outboundWaiting{false};  // mail was queued for outbound delivery
  std::atomic<int> smtpClients{0};     // outbound SMTP client sessions
  std::atomic<int> serverSessions{0};  // SMTP and POP3 server sessions
  std::atomic<int> pop3Clients{0};     // POP3 client sessions
  // Requests of the command queue, taken by the next tick: the exit procedure (quietly) and the
  // backup job.
  std::atomic<bool> exitRequested{false};
  std::atomic<bool> backupRequested{false};
};

}  // namespace core
