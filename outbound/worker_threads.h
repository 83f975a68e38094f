// CWorkerThreads: the threads of one runner, each running one job. A finished thread is joined
// by the next Reap(); WaitIdle() and the destructor join them all, so that no job outlives the
// runner whose members it uses (declare it after those members).
//
// Thread-safe.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace outbound {

class CWorkerThreads {
 public:
  CWorkerThreads() = default;
  ~CWorkerThreads() { WaitIdle(); }
  CWorkerThreads(const CWorkerThreads&) = delete;
  CWorkerThreads& operator=(const CWorkerThreads&) = delete;

  // Runs `job` on a new thread. False when no thread could be made (the job did not run).
  [[nodiscard]] bool Start(std::function<void()> job);
  // Joins the threads whose job has ended.
  void Reap();
  // Joins every thread, waiting for the jobs still running.
  void WaitIdle();
  // True while a job runs.
  bool Busy() const;

 private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  mutable std::mutex mutex_;
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace outbound
