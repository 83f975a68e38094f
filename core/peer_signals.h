// CPeerSignals: this process's published id and the signals it exchanges with its peer.
//
// The server process publishes its id as `srvthread`, a console process as `stpthread`, in
// section `data` of QUORVALE.INI; 0 means none. A signal is the message "KESTRUM_SMTP_STOP" with
// a word and a long: word 0 asks the server to stop, word 1 carries a code (200-203 settings
// state, 210-213 jobs, 300 command queued, 1000-1015 reloads). A server posts to the console's
// id, a console to the server's. A process that holds both roles sends nothing.
//
// "Is the service running?" is answered by the service manager, or, for a server run by hand,
// by a live server process at `srvthread`.
//
// Main thread only. Results: 0 posted, -1 not.
#pragma once

#include <functional>
#include <string>

#include "core/locked_ini.h"

namespace core {

constexpr char kSignalName[] = "KESTRUM_SMTP_STOP";
constexpr char kImsApiName[] = "KESTRUM_IMSAPI";

enum SignalCode : long {
  kSignalSettingsChanged = 200,
  kSignalReloadPending = 201,
  kSignalSettingsSaved = 202,
  kSignalRereadPeer = 203,
  kSignalSendNowForce = 210,
  kSignalDistribute = 211,
  kSignalSendNext = 212,
  kSignalUucpExchange = 213,
  kSignalCommandQueued = 300,
};

enum class ProcessRole { kConsole, kServer, kBoth };

class CPeerSignals {
 public:
  // `serviceActive` asks the service manager (injectable for tests).
  CPeerSignals(const std::string& home, const std::string& quorvaleIni, ProcessRole role,
               long ownId, std::function<bool()> serviceActive);

  // Publishes this process's id; announces it to a known peer when asked.
  void Publish(bool announce);
  // Posts (word, param) to the peer. 0 posted; -1 not (also when nothing was to be sent).
  int Post(unsigned long word, long param);
  // At exit: 0 written for this process, and the peer told.
  void Withdraw();
  // On signal 203: re-read the peer's id. A console also learns whether the server runs.
  void RereadPeer();

  bool ServiceRunning() const { return serviceRunning_; }
  // The service manager's answer, or a live server process at `srvthread`.
  bool QueryServiceRunning();
  long ServerId() const { return serverId_; }
  long ConsoleId() const { return consoleId_; }
  long OwnId() const { return ownId_; }

 private:
  bool ServerRole() const { return role_ != ProcessRole::kConsole; }
  int PostOnce(unsigned long word, long param);
  long ReadId(const char* key);

  std::string home_;
  CLockedIniFile ini_;
  ProcessRole role_;
  long ownId_;
  std::function<bool()> serviceActive_;
  long serverId_ = 0;
  long consoleId_ = 0;
  bool published_ = false;
  bool serviceRunning_ = false;
};

}  // namespace core
