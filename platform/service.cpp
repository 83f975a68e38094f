#include "platform/service.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cctype>
#include <cerrno>

#include "platform/fs.h"

extern char** environ;

namespace platform {

bool ServiceManagerAvailable() { return DirectoryExists("/run/systemd/system"); }

std::string ServiceUnitName(const std::string& product) {
  std::string unit;
  for (char c : product) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_') unit += static_cast<char>(std::tolower(u));
  }
  return unit + ".service";
}

bool ServiceActive(const std::string& product) {
  if (!ServiceManagerAvailable()) return false;
  std::string unit = ServiceUnitName(product);
  char arg0[] = "systemctl", arg1[] = "is-active", arg2[] = "--quiet";
  char* argv[] = {arg0, arg1, arg2, unit.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform
