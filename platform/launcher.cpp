#include "platform/launcher.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace platform {

int CLauncher::Launch(const std::string& commandLine, const std::string& directory, long* pid,
                      bool detached) {
  std::string shell = "/bin/sh", dashC = "-c", line = commandLine;
  char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (!directory.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t child = 0;
  int rc = ::posix_spawn(&child, "/bin/sh", &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  if (pid != nullptr) *pid = child;
  if (detached) detached_.push_back(child);
  return 0;
}

bool CLauncher::ModuleGone(long pid) {
  int status = 0;
  pid_t r = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
  return r == static_cast<pid_t>(pid) || (r < 0 && errno == ECHILD);
}

int CLauncher::Wait(long pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(static_cast<pid_t>(pid), &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void CLauncher::Reap() {
  std::erase_if(detached_, [](long pid) { return ModuleGone(pid); });
}

}  // namespace platform
