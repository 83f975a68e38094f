// COutboundRunner: starts the SMTP clients that drain the outbound queues.
//
// A run (from the tick, a forced request, or a remote host calling in) starts at most one
// client per queue, each in a thread of its own: the default queue MAILHUB (relay host, or DNS
// delivery when no relay host is enabled) and one queue per domain record with a route host
// (relay to that host on port 25). Domain queues whose timer runs are off or that are held wait
// for forced runs (held) or for their host to call in (timer runs off); "[local]" and "[uucp]"
// routes have no SMTP queue. A queue with a running client is never started twice; a running
// flag is taken under the runner's lock before its thread starts.
//
// RunOutboundQueues runs on the main thread; StartDelivery may be called from session threads.
// The destructor stops nothing by itself: callers set the process's stopping flag and then wait
// (WaitIdle) for the clients, which end after their current message.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "outbound/smtp_client.h"
#include "outbound/worker_threads.h"

namespace core {
class CSettings;
struct CSessionCounters;
}  // namespace core

namespace outbound {

// Most client sessions at once in the process; a client that would exceed it does nothing.
constexpr int kMaxClientSessions = 10000;

struct RunnerContext {
  std::string home;
  const core::CSettings* settings = nullptr;
  core::CLogSet* logs = nullptr;
  const store::CDomainTable* domains = nullptr;
  core::CSessionCounters* counters = nullptr;
  // The writers of failure reports, with the current settings.
  std::function<store::GeneratedContext()> generated;
  // A resolver for a DNS run; unset: the DNS resolver with the current section DNS.
  std::function<std::unique_ptr<IRouteResolver>()> makeResolver;
  // Runs the local distribution after each run (reports go out through it).
  std::function<void()> distribute;
  std::function<std::time_t()> now;
  // Runs one client in its thread instead of the SMTP client (tests watch the decisions);
  // unset: the SMTP client.
  std::function<int(const ClientConfig&)> runClient;
};

class COutboundRunner {
 public:
  explicit COutboundRunner(RunnerContext context);
  ~COutboundRunner();
  COutboundRunner(const COutboundRunner&) = delete;
  COutboundRunner& operator=(const COutboundRunner&) = delete;

  // One pass over the queues; `force` also starts held queues and queues without timer runs,
  // and connects with nothing to send when the `force` setting asks for it.
  void RunOutboundQueues(bool force);

  // Delivers `queueDir` to `host` (a remote host that called in with ETRN, HELO or EHLO), when
  // `host` is the route host of the queue's domain record (its address, or a name resolving to
  // it). 0 started (or nothing to send), 1 the queue is being delivered already, -1 refused
  // (another host, no such queue) or no thread.
  int StartDelivery(const std::string& queueDir, const std::string& host, int port);

  // True while any client runs.
  bool Busy() const;
  // Waits until every client has ended and its thread is joined.
  void WaitIdle();

 private:
  // 0 started or nothing to do, 1 already running, -1 the thread could not be made.
  int Start(ClientConfig config);
  ClientContext MakeClientContext() const;
  bool Stopping() const;

  RunnerContext context_;
  mutable std::mutex mutex_;
  std::map<std::string, bool> running_;  // queue directory (upper case) -> a client runs
  std::atomic<long> clientNumber_{0};
  std::atomic<int> active_{0};
  bool inRun_ = false;  // main thread only
  CWorkerThreads workers_;  // last: its threads use the members above
};

}  // namespace outbound
