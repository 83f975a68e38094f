#include "platform/launcher.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

namespace {

// The program file for argv[0]: as given when it names a path, else the first executable in PATH.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t colon = dirs.find(':', pos);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = dirs.substr(pos, colon - pos);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = colon + 1;
  }
  return std::string();
}

}  // namespace

int RunArguments(const std::vector<std::string>& args, const std::string& directory, bool wait,
                 int* exitCode) {
  if (args.empty() || args[0].empty()) return -1;
  std::string program = FindProgram(args[0]);
  if (program.empty()) return -1;
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (wait) {
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (!directory.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t child = 0;
    int rc = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int code = CLauncher::Wait(child);
    if (exitCode != nullptr) *exitCode = code;
    return 0;
  }
  // Everything the children use is prepared before fork: they only call async-signal-safe
  // functions. The grandchild belongs to init once the intermediate child has ended.
  const char* dir = directory.empty() ? nullptr : directory.c_str();
  pid_t middle = ::fork();
  if (middle < 0) return -1;
  if (middle == 0) {
    ::setsid();
    pid_t worker = ::fork();
    if (worker == 0) {
      if (dir != nullptr && ::chdir(dir) != 0) ::_exit(127);
      ::execve(program.c_str(), argv.data(), environ);
      ::_exit(127);
    }
    ::_exit(worker < 0 ? 1 : 0);
  }
  int code = CLauncher::Wait(middle);
  if (exitCode != nullptr) *exitCode = 0;
  return code == 0 ? 0 : -1;
}

void CLauncher::Reap() {
  std::erase_if(detached_, [](long pid) { return ModuleGone(pid); });
}

}  // namespace platform
