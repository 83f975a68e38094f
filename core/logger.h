// CLogger: one writer per log file of the home directory.
//
// Each line is its own open-append-close, so other processes may read, rename or empty the file
// between lines. A line is "<dd/mm/yy HH:MM:SS>: <text>" with a CR LF line end. Writers of one
// logger are serialised by its mutex; a writer that cannot get the mutex within one second drops
// its line rather than wait. A line that cannot be written is lost silently: the operation that
// logs goes on.
//
// Thread-safe. Results: Write* return 1 when the line was written, 0 otherwise.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

namespace core {

// A lock that a writer waits for at most a given time: a flag under a mutex and a condition
// variable (portable, and visible to the thread checkers, unlike a timed pthread mutex).
class CTimedLock {
 public:
  bool TryLockFor(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!free_.wait_for(lock, wait, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void Lock() {
    std::unique_lock<std::mutex> lock(mutex_);
    free_.wait(lock, [this] { return !held_; });
    held_ = true;
  }
  void Unlock() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
};

class CLogger {
 public:
  static constexpr int kMutexWaitMs = 1000;

  CLogger() = default;  // empty path, threshold 1, timestamps on
  explicit CLogger(std::string path, int timestamp = 1, int threshold = 1)
      : path_(std::move(path)), threshold_(threshold), timestamp_(timestamp) {}
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  // Set once, before the logger is shared between threads.
  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }

  int Write(std::string_view text);
  int Write(int level, std::string_view text);
  int WriteF(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int WriteLevelF(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Size of the file in bytes (0 when missing), under the mutex, waiting without limit.
  int64_t Size();
  // Empties the file, under the mutex, waiting without limit. 0 or -1.
  int Clear();

  // For tests: the logger's lock, to hold it from outside.
  CTimedLock& LockForTest() { return lock_; }

 private:
  int WriteV(int level, const char* format, va_list args);

  std::string path_;
  int threshold_ = 1;
  int timestamp_ = 1;
  CTimedLock lock_;
};

// "%d/%m/%y %H:%M:%S" of the local time `t`: the stamp of every log line.
std::string LogTimestamp(time_t t);

// Text from a peer, made safe for one log line: control bytes shown as "\xNN", cut to `maxLen`.
std::string LogSafe(std::string_view text, size_t maxLen = 512);

}  // namespace core
