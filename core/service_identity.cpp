#include "core/service_identity.h"

#include "core/settings.h"
#include "platform/identity.h"
#include "platform/path.h"
#include "platform/prebound.h"
#include "platform/profile.h"
#include "platform/system.h"

namespace core {
namespace {

constexpr char kLocator[] = "TORVIK.INI";

// Binds the ports the connection servers will listen on. A port that cannot be bound now is
// left to its connection server, which reports the reason the usual way.
void BindListeningPorts(CSettings& settings) {
  if (settings.LoadSmtp() != 0) return;
  const SmtpSettings& smtp = settings.Values().smtp;
  int pop3 = smtp.pop3Port < 0 ? platform::ServicePort("pop3", 110) : smtp.pop3Port;
  int smtpPort = smtp.smtpPort < 0 ? platform::ServicePort("smtp", 25) : smtp.smtpPort;
  for (int port : {pop3, smtpPort}) {
    std::string ignored;
    if (port > 0) (void)platform::PrebindListener(smtp.ipAddress, port, &ignored);
  }
}

}  // namespace

IdentityOutcome TakeServiceIdentity(CSettings& settings, bool serverRole, std::string* report) {
  report->clear();
  if (!platform::RunningAsRoot()) return IdentityOutcome::kUnchanged;
  std::string user = platform::GetProfileString(kLocator, "Settings", "ServiceUser", "");
  std::string group = platform::GetProfileString(kLocator, "Settings", "ServiceGroup", "");
  std::string locator = platform::ProfilePath(kLocator);
  if (user.empty()) {
    *report = "Running as root: no service user is named (ServiceUser= in section [Settings] of " +
              locator +
              "), so this process handles mail and network input with every right "
              "of root.";
    return IdentityOutcome::kRootWithoutUser;
  }
  platform::ServiceIdentity identity;
  std::string error;
  if (platform::LookUpServiceIdentity(user, group, &identity, &error) != 0) {
    *report = error + " (ServiceUser/ServiceGroup in " + locator + "); not starting as root.";
    return IdentityOutcome::kFailed;
  }
  if (serverRole) BindListeningPorts(settings);
  if (platform::SwitchToServiceIdentity(identity, &error) != 0) {
    *report = error + "; not going on as root.";
    return IdentityOutcome::kFailed;
  }
  const std::string& home = settings.Paths().home;
  if (!platform::CanWriteInto(home)) {
    *report = "The service user " + user + " cannot write into the home directory " + home +
              " (give it the directory: chown -R " + user + " " + home + ").";
    return IdentityOutcome::kFailed;
  }
  *report = "Running as the service user " + user + " (uid " + std::to_string(identity.uid) +
            ", gid " + std::to_string(identity.gid) + ")";
  return IdentityOutcome::kSwitched;
}

}  // namespace core
