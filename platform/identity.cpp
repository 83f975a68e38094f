#include "platform/identity.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

std::string Failed(const char* step, int err) {
  return std::string(step) + " failed: " + std::strerror(err);
}

}  // namespace

bool RunningAsRoot() { return ::getuid() == 0 || ::geteuid() == 0; }

int LookUpServiceIdentity(const std::string& user, const std::string& group, ServiceIdentity* out,
                          std::string* error) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* foundUser = nullptr;
  int rc = ::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &foundUser);
  if (rc != 0 || foundUser == nullptr) {
    *error = "The service user \"" + user + "\" does not exist";
    return -1;
  }
  out->user = user;
  out->uid = pw.pw_uid;
  out->gid = pw.pw_gid;
  if (!group.empty()) {
    std::vector<char> gbuf(16384);
    struct group gr {};
    struct group* foundGroup = nullptr;
    rc = ::getgrnam_r(group.c_str(), &gr, gbuf.data(), gbuf.size(), &foundGroup);
    if (rc != 0 || foundGroup == nullptr) {
      *error = "The service group \"" + group + "\" does not exist";
      return -1;
    }
    out->gid = gr.gr_gid;
  }
  out->group = group;
  if (out->uid == 0 || out->gid == 0) {
    *error = "The service user \"" + user + "\" (or its group) is root, which gives up nothing";
    return -1;
  }
  return 0;
}

int SwitchToServiceIdentity(const ServiceIdentity& id, std::string* error) {
  // Groups first: once the user id is no longer root, the groups can no longer be changed.
  if (::setgroups(0, nullptr) != 0) {
    *error = Failed("Dropping the supplementary groups", errno);
    return -1;
  }
  if (::setresgid(id.gid, id.gid, id.gid) != 0) {
    *error = Failed("Setting the group id", errno);
    return -1;
  }
  if (::setresuid(id.uid, id.uid, id.uid) != 0) {
    *error = Failed("Setting the user id", errno);
    return -1;
  }
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0 ||
      ruid != id.uid || euid != id.uid || suid != id.uid || rgid != id.gid || egid != id.gid ||
      sgid != id.gid || ::getgroups(0, nullptr) != 0) {
    *error = "The process does not have the service user's ids after the switch";
    return -1;
  }
  // The switch must be one way.
  if (::setuid(0) == 0 || ::seteuid(0) == 0) {
    *error = "The process could become root again after the switch";
    return -1;
  }
  return 0;
}

bool CanWriteInto(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace platform
