// Start-up of a QUORVALE process: home directory, branding, version, run mode, the one-instance
// lock of interactive processes, settings, then the process (CServerProcess) in the server role,
// the console role or both, with the console's commands on the terminal where an operator is.
//
// Command line (searched as a whole, in this order): "-install", "-remove", "-service",
// "-server", "-setup", "-tighten" (takes others' access away from the home directory's mail
// and account files, then ends); none of them asks the operator for the mode. Exit codes: 0 normal end,
// 1 a start-up failure (its message has been shown or written to message.log).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace core {

class CMessageSink;
class CSettings;
class IServerJobs;
class ISettingsOwners;

constexpr int kProductVersion = 200008;
constexpr char kProductLetter = 'A';

enum class RunMode { kInstall, kRemove, kService, kServer, kSetup, kTighten, kAsk };

RunMode ParseCommandLine(const std::string& commandLine);

// "Version 2000.08.A - Linux.6.1.0".
std::string VersionString(int version, char letter, const std::string& platform);

// Window titles, printed at start since there are no windows.
std::string ServerTitle(const std::string& product);
std::string ConsoleTitle(const std::string& product);

class CLogSet;
class CServerProcess;
struct CSessionCounters;

// The one-instance lock of the interactive processes of a home directory. Its name is one that
// no settings file's ".LCK" lock can resolve to, since path case is ignored.
std::string InstanceLockPath(const std::string& home);

// What the console's commands work with: the process they belong to (a console, or an
// interactive server that takes the console's commands from its own terminal).
struct ConsoleContext {
  CSettings& settings;
  CMessageSink& sink;
  CLogSet& logs;
  CServerProcess& process;
  bool interactive;
  const std::string& version;
};

// The console's commands attached to a process; kept alive while the process runs.
class IConsole {
 public:
  virtual ~IConsole() = default;
};

// What the process's modules share, handed to the jobs factory.
struct ProcessServices {
  CSettings& settings;
  CMessageSink& sink;
  CLogSet& logs;
  CSessionCounters& counters;
  ISettingsOwners* owners;
  const std::string& version;
  bool serviceMode;  // started with -service: the start-up steps are reported
};

struct ProgramParts {
  // The jobs of the server role (connection servers, distribution...), made once the settings
  // are loaded; null: the core's neutral jobs.
  std::function<std::unique_ptr<IServerJobs>(ProcessServices&)> makeJobs;
  // The owners of the settings groups of other modules (domain table, accounts...), made once
  // the settings object exists; null: the core's neutral owners.
  std::function<std::unique_ptr<ISettingsOwners>(CSettings&, CMessageSink&)> makeOwners;
  // The console's commands on the terminal, for a console process and for an interactive
  // server; attached once the process has started. Null: a console process cannot start.
  std::function<std::unique_ptr<IConsole>(ConsoleContext&)> makeConsole;
  // -install and -remove; returns the exit code.
  std::function<int(RunMode, CSettings&, CMessageSink&)> serviceControl;
};

int RunQuorvale(const std::string& commandLine, ProgramParts& parts);

}  // namespace core
