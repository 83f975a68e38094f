// quorvale: the mail server program. The command line picks the role (-server, -service,
// -setup, -install, -remove); start-up and the roles live in the core and console libraries,
// and this file wires the modules together: the mail store owns the domain and account tables,
// the firewall rules are loaded with them, the program's jobs own the connection servers.
// -command, -queue and -flush are the administrator's options for scripts; they only talk to a
// running server through its files and signals.
#include <iostream>
#include <string>
#include <vector>

#include "app/program_jobs.h"
#include "app/program_owners.h"
#include "console/setup_console.h"
#include "core/command_client.h"
#include "core/message_sink.h"
#include "core/startup.h"
#include "store/mail_store.h"
#include "store/queue_listing.h"

int main(int argc, char** argv) {
  // The administrator's options for scripts come first: their lines may hold any text.
  if (argc >= 2) {
    std::string option = argv[1];
    if (option == "-command") {
      return core::RunCommandClient(std::vector<std::string>(argv + 2, argv + argc), std::cin);
    }
    if (option == "-flush") return core::RunFlushClient();
    if (option == "-queue") {
      return core::RunQueueListing([](const std::string& home) {
        return store::FormatQueueListing(store::ListQueuedItems(home));
      });
    }
  }
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  core::ProgramParts parts;
  parts.makeConsole = console::MakeSetupConsole;
  parts.makeOwners = [](core::CSettings& settings, core::CMessageSink& sink) {
    return std::unique_ptr<core::ISettingsOwners>(new CProgramOwners(settings, sink));
  };
  parts.makeJobs = [](core::ProcessServices& services) {
    auto* store = static_cast<CProgramOwners*>(services.owners);
    return std::unique_ptr<core::IServerJobs>(new CProgramJobs(services, *store));
  };
  parts.serviceControl = [](core::RunMode, core::CSettings&, core::CMessageSink& sink) {
    sink.Error("Service installation is not available in this build.");
    return 1;
  };
  return core::RunQuorvale(commandLine, parts);
}
