// CPOP3Collector: the starter of POP3 collection runs (pop3_client.h), each on a thread of its
// own.
//
// GetPop3Mail(argument):
//  - empty: when the `pop3client` setting is 0, nothing; else one run over every account in
//    table order (`$default` excepted), skipping accounts whose own POP3-client flag is clear
//    when `pop3client` is 2 and accounts another run is collecting;
//  - a text starting with "-", or "$default" (what the timer and the postmaster's "check mail"
//    pass): the shared collection of `$default`'s remote mailboxes into INQUEUE, unless one runs;
//  - an account name: -1 when there is no such account; nothing when `pop3client` is 2 and the
//    account's flag is clear, when another run is collecting it, or when it has no enabled slot;
//    else one run for it.
// An account is collected by one run at a time (its busy mark, taken before its run starts and
// held until it ends) and one shared collection runs at a time; marks, flag and thread list are
// kept under one lock. Every run counts in the process's POP3 client counter from before its
// thread starts until its thread ends; nothing starts while the process is stopping.
//
// GetPop3Mail runs on the main thread (tick and command queue); Busy and WaitIdle from any
// thread. The destructor waits for the runs (each ends after its current message once the
// stopping flag is set, or at the socket time-out). Results: 0, or -1 (unknown account, or no
// thread could be made).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "outbound/pop3_client.h"
#include "outbound/worker_threads.h"

namespace outbound {

class CPOP3Collector {
 public:
  // `counters` receives the running-clients count and gives the stopping flag.
  CPOP3Collector(Pop3ClientContext context, core::CSessionCounters* counters);
  ~CPOP3Collector();
  CPOP3Collector(const CPOP3Collector&) = delete;
  CPOP3Collector& operator=(const CPOP3Collector&) = delete;

  [[nodiscard]] int GetPop3Mail(const std::string& argument);

  bool Busy() const;
  void WaitIdle();

 private:
  // Runs `body` on a new thread, counted as a POP3 client. 0, or -1 when no thread was made.
  int StartThread(const std::string& name, std::function<void()> body);
  void RunAllAccounts();
  bool TakeAccount(const std::string& name);
  void ReleaseAccount(const std::string& name);
  bool Stopping() const;
  void LowLog(const std::string& text);

  Pop3ClientContext context_;
  core::CSessionCounters* counters_;
  mutable std::mutex mutex_;
  std::set<std::string> busy_;  // lower-case names of accounts being collected
  bool sharedRunning_ = false;
  std::atomic<long> runNumber_{0};
  CWorkerThreads workers_;  // last: its threads use the members above
};

}  // namespace outbound
