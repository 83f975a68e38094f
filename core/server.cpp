#include "core/server.h"

#include <cstdio>

#include "core/backup.h"
#include "core/jobs.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "platform/service.h"
#include "platform/system.h"
#include "platform/terminal.h"

namespace core {
namespace {

constexpr int kTicksPerShutdownCheck = 10;  // the exit waits check once a second

ProcessRole RoleOf(const ProcessFlags& f) {
  if (!f.serverRole) return ProcessRole::kConsole;
  return f.interactive ? ProcessRole::kBoth : ProcessRole::kServer;
}

}  // namespace

CServerProcess::CServerProcess(CSettings& settings, CMessageSink& sink, IServerJobs& jobs,
                               CSessionCounters& counters, const ProcessFlags& flags)
    : settings_(settings),
      sink_(sink),
      jobs_(jobs),
      counters_(counters),
      flags_(flags),
      peer_(settings.Paths().home, settings.Paths().quorvaleIni, RoleOf(flags),
            platform::CurrentProcessId(),
            [product = settings.Values().branding.oemsoft] {
              return platform::ServiceActive(product);
            }),
      localTime_([] { return platform::LocalTime(platform::Now()); }),
      tick_(settings, jobs, schedule_, [this] { RunBackup(); }, [this] { return localTime_(); }) {
  schedule_.Init(settings.Values().schedule.times, localTime_());
}

int CServerProcess::StartServing(const std::string& version) {
  // The loop (and with it the signal handlers) comes first: a SIGTERM during start-up is then a
  // stop request, not the end of a process that has published its id.
  if (loop_.Open() != 0) {
    sink_.Error("LoadFrame error...");
    return 1;
  }
  SmtpSettings& smtp = settings_.MutableValues().smtp;
  if (smtp.pop3Port < 0) smtp.pop3Port = platform::ServicePort("pop3", 110);
  if (smtp.smtpPort < 0) smtp.smtpPort = platform::ServicePort("smtp", 25);
  settings_.Publish();

  if (signalSocket_.Bind(settings_.Paths().home, platform::CurrentProcessId()) != 0) {
    sink_.Error("Cannot open the signal socket in " + settings_.Paths().home);
  }
  peer_.Publish(true);
  settings_.OnTellPeer([this](int code) { (void)peer_.Post(1, code); });

  if (flags_.serverRole) {
    counters_.serverSessions = 0;
    if (jobs_.StartConnectionServers(settings_.Values(), sink_) != 0) {
      peer_.Withdraw();
      return 1;
    }
  }
  tickFlags_.commandPending = true;
  if (flags_.serviceMode) sink_.Information("Server started");
  if (flags_.serverRole) jobs_.StartGates();
  (void)settings_.WriteVersion(version);
  return 0;
}

int CServerProcess::Run() {
  loop_.OnTimer([this] { OnTimer(); });
  loop_.OnSignal([this](platform::ProcessSignal s) { OnPosixSignal(s); });
  loop_.WatchSignalSocket(&signalSocket_,
                          [this](const platform::ThreadSignal& s) { OnThreadSignal(s); });
  while (!ended_) {
    if (loop_.Run() != 0) break;
  }
  // Program end: the server parts go in reverse order of their start.
  jobs_.StopConnectionServers();
  return 0;
}

void CServerProcess::OnTimer() {
  launcher_.Reap();
  if (shutdown_ != Shutdown::kNone) {
    if (++shutdownTicks_ % kTicksPerShutdownCheck == 0) CheckShutdown();
    if (ended_) return;
  }
  if (counters_.exitRequested.exchange(false)) {  // the command queue's "exit"
    quietStop_ = exitRequested_ = true;
  }
  if (counters_.backupRequested.exchange(false)) RunBackup();
  if (exitRequested_) {
    exitRequested_ = false;
    ExitProcedure();
  }
  if (reloadPending_) {
    reloadPending_ = false;
    if (flags_.interactive) {
      settingsChanged_ = true;
      PushSettingsChanges();
    }
    (void)settings_.LoadAll();
    schedule_.Recompute(settings_.Values().schedule.times, localTime_());
    reloadPending_ = settingsChanged_ = false;
    sink_.Information("Settings reloaded");
  }
  if (!flags_.serverRole) return;
  // Sessions that queued outbound mail ask for a run at this tick when `deliver` is on.
  if (counters_.outboundWaiting.exchange(false) && settings_.Values().schedule.deliver) {
    tickFlags_.sendNow = true;
  }
  tick_.Run(tickFlags_, counters_.stopping);
}

void CServerProcess::OnThreadSignal(const platform::ThreadSignal& signal) {
  if (signal.name == kImsApiName) {
    if (flags_.serviceMode) {
      char line[96];
      std::snprintf(line, sizeof line, "OnImsApiCmd(wParam=%lu, lParam=%ld)", signal.word,
                    signal.param);
      sink_.Information(line);
    }
    return;
  }
  if (signal.name != kSignalName) return;
  if (signal.word == 0) {
    StopSignal();
    return;
  }
  if (signal.word != 1) return;
  long code = signal.param;
  switch (code) {
    case kSignalSettingsChanged: settingsChanged_ = true; return;
    case kSignalReloadPending: settingsChanged_ = reloadPending_ = true; return;
    case kSignalSettingsSaved: settingsChanged_ = false; return;
    case kSignalRereadPeer:
      peer_.RereadPeer();
      if (onPeerChanged_) onPeerChanged_();
      return;
    default: break;
  }
  if (code >= kReloadAll && code <= 1015) {
    Reload(static_cast<int>(code));
    return;
  }
  if (!flags_.serverRole) return;
  switch (code) {
    case kSignalSendNowForce: jobs_.RunOutboundQueues(true); break;
    case kSignalDistribute: jobs_.RunDistribution(); break;
    case kSignalSendNext: tickFlags_.sendNow = true; break;
    case kSignalUucpExchange:
      jobs_.RunUucpExchange();
      jobs_.RunDistribution();
      break;
    case kSignalCommandQueued: tickFlags_.commandPending = true; break;
    default: break;  // any other code is ignored
  }
}

void CServerProcess::OnPosixSignal(platform::ProcessSignal signal) {
  using platform::ProcessSignal;
  switch (signal) {
    case ProcessSignal::kInterrupt: ExitProcedure(); break;
    case ProcessSignal::kTerminate: StopSignal(); break;
    case ProcessSignal::kHangup: Reload(kReloadAll); break;
    case ProcessSignal::kUser1:
      if (flags_.serverRole) jobs_.RunOutboundQueues(true);
      break;
  }
}

void CServerProcess::WatchTerminal(std::function<void(const std::string&)> onLine) {
  loop_.WatchTerminalLines([this, onLine = std::move(onLine)](const std::string& line, bool eof) {
    if (!eof) {
      onLine(line);
    } else if (!flags_.serverRole) {
      // Nobody is left to type commands or to answer the question: the console ends.
      quietStop_ = true;
      ExitProcedure();
    } else {
      platform::ShowOperatorText(
          "No more commands from the terminal; Ctrl-C or SIGTERM ends the server.");
    }
  });
}

int CServerProcess::Request(long code) {
  if (!flags_.serverRole) return peer_.Post(1, code);
  OnThreadSignal({kSignalName, 1, code});
  return 0;
}

int CServerProcess::Launch(const std::string& commandLine) {
  return launcher_.Launch(commandLine, settings_.Paths().home);
}

void CServerProcess::Reload(int code) {
  (void)settings_.Reload(code);
  if (code == kReloadAll || code == kReloadSchedule) {
    schedule_.Recompute(settings_.Values().schedule.times, localTime_());
  }
}

void CServerProcess::PushSettingsChanges() {
  if (!settingsChanged_ || !flags_.interactive) return;
  if (!peer_.QueryServiceRunning()) return;
  if (peer_.Post(1, kSignalReloadPending) != 0) {
    sink_.Error(
        "ERROR\n\nThe server is running as a NT service.\n\nThe llast configuration changes have "
        "not been loaded by the service, but they were previously saved in the setup files. "
        "\n\nPlease retry or restart the service.");
    return;
  }
  settingsChanged_ = false;
}

void CServerProcess::ExitProcedure() {
  if (shutdown_ != Shutdown::kNone) return;
  PushSettingsChanges();
  if (!flags_.interactive) {
    quietStop_ = true;
  } else if (!quietStop_ &&
             sink_.Ask(QuestionKind::kYesNoDefaultNo, "Are you sure you want to exit?") !=
                 kAnswerYes) {
    return;
  }
  counters_.stopping = true;
  if (!flags_.serverRole) quietStop_ = true;
  if (flags_.serverRole) jobs_.StopGates();
  if (!flags_.serverRole) {
    peer_.Withdraw();
    jobs_.ShutdownUucp();
    EndLoop();
    return;
  }
  if (!quietStop_) {
    sink_.Information(
        "Due to possible pending sessions, exiting can take a LONG TIME to close all "
        "connections...");
  }
  shutdown_ = Shutdown::kExitWaiting;
  CheckShutdown();
}

void CServerProcess::StopSignal() {
  if (!flags_.serverRole) {  // a console has nothing to wait for: it ends quietly
    quietStop_ = true;
    ExitProcedure();
    return;
  }
  if (shutdown_ == Shutdown::kStopWaiting) return;
  jobs_.StopGates();
  peer_.Withdraw();
  sink_.Information("Server stopping...");
  quietStop_ = true;
  counters_.stopping = true;
  shutdown_ = Shutdown::kStopWaiting;
  CheckShutdown();
}

void CServerProcess::CheckShutdown() {
  bool outboundIdle = counters_.smtpClients == 0 && !jobs_.OutboundBusy();
  if (shutdown_ == Shutdown::kStopWaiting) {
    if (!outboundIdle) return;
    jobs_.ShutdownUucp();
    EndLoop();
    return;
  }
  if (!outboundIdle || counters_.serverSessions != 0 || counters_.pop3Clients != 0) return;
  if (!quietStop_) sink_.Information("SMTP / POP3 Clients and Servers terminated...");
  jobs_.StopConnectionServers();  // the listeners are closed
  peer_.Withdraw();
  jobs_.ShutdownUucp();
  EndLoop();
}

void CServerProcess::EndLoop() {
  ended_ = true;
  loop_.Quit();
}

void CServerProcess::RunBackup() {
  (void)RunBackupJob(settings_, sink_, [this](const std::string& line) {
    return launcher_.Launch(line, settings_.Paths().home);
  });
}

}  // namespace core
