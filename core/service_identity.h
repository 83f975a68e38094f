// The user a QUORVALE process runs as.
//
// Started by root, the process becomes the service user named in TORVIK.INI (section Settings,
// key ServiceUser, and ServiceGroup when it is not the user's own group) before it reads
// accounts or mail: in the server role it first binds its SMTP and POP3 ports (the ones below
// 1024 need root), then drops the supplementary groups, sets the group, then the user. The
// name lives beside HomeDir in the root-owned locator file, not in the home directory, which
// the service user can write: a changed file there must not pick the user of the next start.
// Started by root without a service user, the process runs on as root and says so; started by
// anyone else, nothing changes.
#pragma once

#include <string>

namespace core {

class CSettings;

enum class IdentityOutcome {
  kUnchanged,        // not started by root
  kSwitched,         // now the service user
  kRootWithoutUser,  // root, and no service user is named
  kFailed            // a step failed: the process must end
};

// `serverRole`: bind the listening ports before the switch. *report: the text to show (the
// warning, the failure, or what the process switched to).
IdentityOutcome TakeServiceIdentity(CSettings& settings, bool serverRole, std::string* report);

}  // namespace core
