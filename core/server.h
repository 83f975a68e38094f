// CServerProcess: a QUORVALE process once start-up has found its home and settings, in the
// server role, the console role or both: the connection servers, the tick, the signals from the
// peer process, the web extension and POSIX, the exit procedure and the stop signal. The console's
// commands (console/) reach the server core through Request: run here in a process with the
// server role, posted to the server by a console process.
//
// Signals handled (word 1 unless said): 0 (word 0) stop; 200 settings changed; 201 changed and
// reload at the next tick; 202 changes taken; 203 re-read the peer's id; 210 outbound queues now
// with force; 211 distribution now; 212 outbound at the next tick; 213 UUCP exchange, then
// distribution; 300 command queued; 1000-1015 reload a settings group. POSIX: SIGINT runs the
// exit procedure, SIGTERM is the stop signal, SIGHUP reloads all settings, SIGUSR1 runs the
// outbound queues with force.
//
// Both the exit procedure and the stop signal wait, checking once a second on the tick, for
// running sessions and clients to end before the loop ends.
//
// Main thread only (the event loop's handlers).
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "core/peer_signals.h"
#include "core/schedule.h"
#include "core/tick.h"
#include "platform/event_loop.h"
#include "platform/launcher.h"

namespace core {

class CLogSet;
class CMessageSink;
class CSettings;
class IServerJobs;
struct CSessionCounters;

struct ProcessFlags {
  bool interactive = false;   // an operator is present
  bool serverRole = false;
  bool serviceMode = false;   // started with -service
  bool serviceRunning = false;
};

class CServerProcess {
 public:
  CServerProcess(CSettings& settings, CMessageSink& sink, IServerJobs& jobs,
                 CSessionCounters& counters, const ProcessFlags& flags);
  CServerProcess(const CServerProcess&) = delete;
  CServerProcess& operator=(const CServerProcess&) = delete;

  // Start-up from the socket layer on: ports, publishing, connection servers, command pending,
  // gates, version key. 0 to run on; non-zero ends the program with that exit code.
  int StartServing(const std::string& version);
  // Runs the event loop until the exit procedure or the stop signal ends it, then ends the
  // program's server parts. Returns the exit code.
  int Run();

  // Event handlers (public for tests, which drive them without a loop).
  void OnTimer();
  void OnThreadSignal(const platform::ThreadSignal& signal);
  void OnPosixSignal(platform::ProcessSignal signal);
  void ExitProcedure();
  void StopSignal();

  // The console's side. Lines typed on the terminal go to `onLine`. At the end of input a
  // console ends (quietly: nobody is left to answer), a server runs on without commands. Set
  // before Run.
  void WatchTerminal(std::function<void(const std::string& line)> onLine);
  // Called after signal 203 made this process re-read its peer's id.
  void OnPeerChanged(std::function<void()> fn) { onPeerChanged_ = std::move(fn); }
  // A console command that reaches the server core (codes 210, 211, 213): with the server role
  // its job runs here at once; a console posts the code to the server. 0 done or posted, -1 not.
  int Request(long code);
  // Starts `commandLine` in the home directory (START.BAT, STOP.BAT); the child is reaped by
  // the tick. 0 or -1.
  int Launch(const std::string& commandLine);
  bool ServerRole() const { return flags_.serverRole; }
  const CSessionCounters& Counters() const { return counters_; }

  TickFlags& Flags() { return tickFlags_; }
  bool SettingsChanged() const { return settingsChanged_; }
  CPeerSignals& Peer() { return peer_; }
  bool Ended() const { return ended_; }
  // For tests: the clock of the schedule step.
  void SetLocalTimeForTest(std::function<std::tm()> fn) { localTime_ = std::move(fn); }

 private:
  enum class Shutdown { kNone, kExitWaiting, kStopWaiting };

  void Reload(int code);
  void PushSettingsChanges();
  void CheckShutdown();
  void EndLoop();
  void RunBackup();

  CSettings& settings_;
  CMessageSink& sink_;
  IServerJobs& jobs_;
  CSessionCounters& counters_;
  ProcessFlags flags_;
  CPeerSignals peer_;
  CDeliverySchedule schedule_;
  std::function<std::tm()> localTime_;
  std::function<void()> onPeerChanged_;
  CTick tick_;
  TickFlags tickFlags_;
  platform::CEventLoop loop_;
  platform::CSignalSocket signalSocket_;
  platform::CLauncher launcher_;
  bool exitRequested_ = false;
  bool reloadPending_ = false;
  bool settingsChanged_ = false;
  bool quietStop_ = false;
  bool ended_ = false;
  Shutdown shutdown_ = Shutdown::kNone;
  int shutdownTicks_ = 0;
};

}  // namespace core
