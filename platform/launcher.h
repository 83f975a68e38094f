// Starting outside programs: the backup command, batch files, gate and UUCP programs.
//
// A command line runs as `/bin/sh -c "<command line>"` in a given directory. CLauncher owns the
// children it started: those started detached are reaped by Reap(), which the owner calls
// regularly (the tick), so no zombie is left; the others are watched with ModuleGone.
// Not thread-safe: one owner thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

class CLauncher {
 public:
  CLauncher() = default;
  CLauncher(const CLauncher&) = delete;
  CLauncher& operator=(const CLauncher&) = delete;

  // Starts the command line; 0 with `*pid` set, or -1 when it cannot be started.
  [[nodiscard]] int Launch(const std::string& commandLine, const std::string& directory,
                           long* pid = nullptr, bool detached = true);
  // True once the watched child has ended (it is then reaped).
  static bool ModuleGone(long pid);
  // Waits for a watched child and returns its exit code (-1 when it did not exit normally).
  static int Wait(long pid);
  // Reaps detached children that have ended.
  void Reap();
  size_t RunningDetached() const { return detached_.size(); }

 private:
  std::vector<long> detached_;
};

// Runs `argv[0]` (searched in PATH when it holds no "/") with the arguments as they are, no shell
// involved, in `directory`. With `wait` the call returns when the program has ended (its exit
// code in `*exitCode`, -1 when it did not exit normally); without, the program is started
// detached from the caller (through an intermediate child that ends at once, so no zombie is
// left for a caller that never reaps). 0 started, -1 the program cannot be started.
[[nodiscard]] int RunArguments(const std::vector<std::string>& argv, const std::string& directory,
                               bool wait, int* exitCode = nullptr);

}  // namespace platform
