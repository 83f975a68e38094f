#include "outbound/worker_threads.h"

#include <system_error>

namespace outbound {

bool CWorkerThreads::Start(std::function<void()> job) {
  auto worker = std::make_unique<Worker>();
  Worker* w = worker.get();
  try {
    w->thread = std::thread([w, job = std::move(job)] {
      job();
      w->finished = true;
    });
  } catch (const std::system_error&) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  workers_.push_back(std::move(worker));
  return true;
}

void CWorkerThreads::Reap() {
  std::list<std::unique_ptr<Worker>> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if ((*it)->finished.load()) {
        done.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& w : done) w->thread.join();
}

void CWorkerThreads::WaitIdle() {
  for (;;) {
    std::unique_ptr<Worker> worker;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (workers_.empty()) return;
      worker = std::move(workers_.front());
      workers_.pop_front();
    }
    worker->thread.join();
  }
}

bool CWorkerThreads::Busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& w : workers_) {
    if (!w->finished.load()) return true;
  }
  return false;
}

}  // namespace outbound
