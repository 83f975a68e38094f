#include "core/startup.h"

#include <cstdio>

#include "core/home_modes.h"
#include "core/jobs.h"
#include "core/log_set.h"
#include "core/message_sink.h"
#include "core/peer_signals.h"
#include "core/server.h"
#include "core/service_identity.h"
#include "core/settings.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "platform/service.h"
#include "platform/system.h"
#include "platform/terminal.h"

namespace core {

RunMode ParseCommandLine(const std::string& commandLine) {
  const std::pair<const char*, RunMode> options[] = {
      {"-install", RunMode::kInstall}, {"-remove", RunMode::kRemove},
      {"-service", RunMode::kService}, {"-server", RunMode::kServer},
      {"-setup", RunMode::kSetup},     {"-tighten", RunMode::kTighten},
  };
  for (const auto& [text, mode] : options) {
    if (commandLine.find(text) != std::string::npos) return mode;
  }
  return RunMode::kAsk;
}

std::string VersionString(int version, char letter, const std::string& platform) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "Version %d.%02d.%c - %s", version / 100, version % 100, letter,
                platform.c_str());
  return buf;
}

std::string InstanceLockPath(const std::string& home) {
  return platform::JoinPath(home, ".quorvale-instance");
}

std::string ServerTitle(const std::string& product) { return product + " - Server"; }
std::string ConsoleTitle(const std::string& product) { return product + " - Setup"; }

namespace {

bool ServiceRunning(CSettings& settings) {
  CPeerSignals probe(settings.Paths().home, settings.Paths().quorvaleIni, ProcessRole::kConsole,
                     platform::CurrentProcessId(), [&] {
                       return platform::ServiceActive(settings.Values().branding.oemsoft);
                     });
  return probe.QueryServiceRunning();
}

// The mode question; without a terminal there is nobody to answer, so the program ends. The
// buttons' accelerators C (Configure) and R (Run) answer it, as do the result numbers.
int AskMode(bool terminal) {
  if (!terminal) {
    platform::ShowOperatorText(
        "No mode given and no terminal to ask: start with -server, -service or -setup.");
    return kAnswerCancel;
  }
  return platform::AskOperator(
      "The server will start as an interactive application. Please select in which mode.\n"
      "(1) In this case, you will not be able to run the server as an NT service without first "
      "closing the application.",
      {{"SETUP: Configure the server", 6, 'C'},
       {"SERVER: Configure and Run the server (1)", 7, 'R'},
       {"Cancel", kAnswerCancel, 0}},
      kAnswerCancel);
}

}  // namespace

int RunQuorvale(const std::string& commandLine, ProgramParts& parts) {
  IServerJobs neutralJobs;
  bool terminal = platform::TerminalAttached();
  CMessageSink sink("", MakeTerminalChannel());
  sink.SetOperator(terminal);
  CSettings settings(sink, nullptr);
  std::unique_ptr<ISettingsOwners> owners;
  if (parts.makeOwners) owners = parts.makeOwners(settings, sink);
  settings.SetOwners(owners.get());

  if (settings.LocateHome() != 0) {
    sink.Error("Initializing setup");
    return 1;
  }
  const std::string& home = settings.Paths().home;
  if (platform::ChangeDirectory(home) != 0) {
    sink.Error("The TORVIK.INI file which indicates my home directory is (" + home +
               ") but I cannot access it.\n\nPlease check your installation");
    return 1;
  }
  (void)platform::RemoveFile(platform::ResolvePath(platform::JoinPath(home, "debug.log")));
  if (settings.LoadBranding() != 0) {
    sink.Error("OEM initialization");
    return 1;
  }
  std::string version =
      VersionString(kProductVersion, kProductLetter, platform::PlatformString());

  ProcessFlags flags;
  RunMode mode = ParseCommandLine(commandLine);
  bool emptyMessageLog = false;  // after the switch to the service user, who owns the file
  switch (mode) {
    case RunMode::kInstall:
    case RunMode::kRemove:
      return parts.serviceControl ? parts.serviceControl(mode, settings, sink) : 1;
    case RunMode::kTighten: {
      TightenResult tightened = TightenHome(home);
      platform::ShowOperatorText(TightenReport(home, tightened));
      return tightened.failed == 0 ? 0 : 1;
    }
    case RunMode::kService:
      flags.serverRole = flags.serviceMode = flags.serviceRunning = true;
      emptyMessageLog = true;
      break;
    case RunMode::kServer:
      flags.interactive = terminal;
      flags.serverRole = true;
      // Refused: nothing of the running server is touched, not even its message.log.
      if (ServiceRunning(settings)) {
        if (terminal) platform::ShowOperatorText("A server already runs in " + home + ".");
        return 0;
      }
      emptyMessageLog = true;
      break;
    case RunMode::kSetup:
      flags.interactive = terminal;
      break;
    case RunMode::kAsk:
      flags.interactive = terminal;
      if (ServiceRunning(settings)) break;  // console only
      switch (AskMode(terminal)) {
        case kAnswerCancel: return 0;
        case 7: flags.serverRole = true; break;
        default: break;
      }
      break;
  }
  std::string identityReport;
  IdentityOutcome identity = TakeServiceIdentity(settings, flags.serverRole, &identityReport);
  if (identity == IdentityOutcome::kFailed) {
    // Standard error only: a message.log made now could belong to root.
    platform::ShowOperatorText("Error: " + identityReport);
    return 1;
  }
  // One interactive process per home directory (the console, or the server with its console).
  platform::CInstanceLock instance;
  if (flags.interactive) {
    long holder = 0;
    if (instance.Acquire(InstanceLockPath(home), &holder) != 0) {
      platform::ShowOperatorText(settings.Values().branding.oemsoft +
                                 " is already running in this home directory (process " +
                                 std::to_string(holder) + ").");
      return 0;
    }
  }
  if (emptyMessageLog) sink.EmptyMessageLog();
  sink.SetOperator(flags.interactive);
  settings.SetReportReloads(!flags.interactive);
  if (identity == IdentityOutcome::kRootWithoutUser) sink.Warning(identityReport);
  if (identity == IdentityOutcome::kSwitched) sink.Information(identityReport);
  if (flags.serverRole) {
    if (OpenFiles open = FindFilesOpenToOthers(home); open.count > 0) {
      sink.Warning(OpenFilesWarning(home, open));
    }
  }
  if (flags.serviceMode) sink.Information("Starting service...");

  if (platform::MakeDirectory(platform::ResolvePath(settings.Paths().command)) != 0) {
    sink.Error("Cannot create the command directory " + settings.Paths().command);
  }
  CLogSet logs(settings);
  logs.SetHome(home);
  CSessionCounters counters;
  ProcessServices services{settings, sink, logs, counters, owners.get(), version, flags.serviceMode};
  std::unique_ptr<IServerJobs> madeJobs;
  if (parts.makeJobs) madeJobs = parts.makeJobs(services);
  IServerJobs& jobs = madeJobs ? *madeJobs : neutralJobs;
  if (jobs.InitUucp() != 0) {
    sink.Error("UUCP Gateway initialization");
    return 1;
  }
  (void)settings.LoadAll();

  const std::string& product = settings.Values().branding.oemsoft;
  platform::ShowOperatorText((flags.serverRole ? ServerTitle(product) : ConsoleTitle(product)) +
                             " - " + version);
  // The console's commands: a console process, and a server with an operator at its terminal.
  bool withConsole = !flags.serverRole || flags.interactive;
  if (!flags.serverRole && !parts.makeConsole) return 1;

  CServerProcess process(settings, sink, jobs, counters, flags);
  if (int rc = process.StartServing(version); rc != 0) return rc;
  std::unique_ptr<IConsole> console;
  if (withConsole && parts.makeConsole) {
    ConsoleContext context{settings, sink, logs, process, flags.interactive, version};
    console = parts.makeConsole(context);
  }
  return process.Run();
}

}  // namespace core
