// The process's identity and the switch from root to a service user.
//
// A server started by root binds its privileged ports first (platform/prebound.h), then becomes
// the service user for good: supplementary groups dropped, then the group set, then the user,
// each step checked; afterwards the process cannot become root again. Nothing here is thread-
// aware beyond what the C library does: switch before the process starts its threads.
// Results: 0 success, -1 failure with a text for the operator in *error.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct ServiceIdentity {
  std::string user;
  std::string group;
  unsigned uid = 0;
  unsigned gid = 0;
};

// True when the process runs with the user id of root (real or effective).
bool RunningAsRoot();

// Looks `user` up in the user database, and `group` in the group database (empty: the user's
// own primary group). Fails for an unknown name and for a user or group that is root.
[[nodiscard]] int LookUpServiceIdentity(const std::string& user, const std::string& group,
                                        ServiceIdentity* out, std::string* error);

// Drops the supplementary groups, sets the real, effective and saved group ids, then the user
// ids, and checks the result of each step and the final ids (and that root cannot be regained).
[[nodiscard]] int SwitchToServiceIdentity(const ServiceIdentity& identity, std::string* error);

// True when the process (by its effective ids and groups) may write into `path`.
bool CanWriteInto(const std::string& path);

}  // namespace platform
