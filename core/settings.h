// CSettings: the home directory, the paths derived from it, and every settings group.
//
// Locating the home directory reads TORVIK.INI (section Settings, key HomeDir) in the Windows
// directory, falling back to ZEPHANT.INI (section TorvikOffice), whose value is then copied into
// TORVIK.INI. Groups are loaded and saved through CLockedIniFile; a load or save that cannot take
// its lock asks the operator (see locked_ini.h) and, answered No, returns -1 and changes nothing.
//
// Groups whose files belong to other modules (FIREWALL.CFG, the account files, the domain table's
// parser, UUCP and modem settings) are reached through ISettingsOwners, which the program wires.
//
// Thread rules: loads, saves and reloads run on the main thread, which reads Values() directly.
// Other threads read Snapshot(), an immutable copy published after every load or save.
// Results: 0 success, -1 failure; Reload returns the group's result or -999 for an unknown code.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/locked_ini.h"
#include "core/settings_values.h"

namespace core {

class CMessageSink;

// Reload request codes: one settings group each.
enum ReloadCode : int {
  kReloadAll = 1000,
  kReloadSmtp = 1002,
  kReloadDns = 1003,
  kReloadSchedule = 1004,
  kReloadFirewall = 1005,
  kReloadFirewallRules = 1006,
  kReloadDomains = 1007,
  kReloadAccounts = 1008,
  kReloadCommand = 1009,
  kReloadKaldor = 1010,
  kReloadUucp = 1011,
  kReloadModem = 1012,
  kReloadBranding = 1013,
};
constexpr int kReloadUnknown = -999;

// The groups other modules own. Every method has a neutral default, so the server runs before
// those modules exist; the program passes its own implementation.
class ISettingsOwners {
 public:
  virtual ~ISettingsOwners() = default;
  virtual int LoadFirewallRules() { return 0; }  // FIREWALL.CFG
  virtual int LoadAccounts() { return 0; }       // account files
  virtual int SaveAccounts() { return 0; }
  virtual int SaveAccountExtras() { return 0; }  // the two account groups saved last
  virtual int LoadUucp() { return 0; }           // USERVER.INI gateway settings
  virtual int SaveUucp() { return 0; }
  virtual int LoadModem() { return 0; }
  virtual int SaveModem() { return 0; }
  // The domain table: records as read from section Domain, keys n-1 down to "0".
  virtual int LoadDomainTable(const std::vector<std::string>& recordsFromLast) {
    (void)recordsFromLast;
    return 0;
  }
  // The records to store, in key order; false when the owner keeps no table (the records as
  // last loaded are written back).
  virtual bool DomainRecordsToSave(std::vector<std::string>* records) {
    (void)records;
    return false;
  }
};

class CSettings {
 public:
  CSettings(CMessageSink& sink, ISettingsOwners* owners);
  CSettings(const CSettings&) = delete;
  CSettings& operator=(const CSettings&) = delete;

  // Finds H and derives the paths. 0, or -1 after telling the operator that TORVIK.INI lacks
  // HomeDir.
  [[nodiscard]] int LocateHome();
  // The owners of the other groups (null: the neutral ones); set before the first load.
  void SetOwners(ISettingsOwners* owners) { owners_ = owners != nullptr ? owners : &noOwners_; }
  // For tests and tools: use `home` without the locator files.
  void SetHome(const std::string& home);
  const HomePaths& Paths() const { return paths_; }

  const SettingsValues& Values() const { return values_; }
  SettingsValues& MutableValues() { return values_; }  // main thread; call Publish() after
  std::shared_ptr<const SettingsValues> Snapshot() const;
  void Publish();

  int LoadAll();
  int SaveAll(bool tellPeer = true);
  // Loads the group named by `code` and reports "OnServiceReload(code) => result".
  int Reload(int code);

  int LoadBranding();
  int LoadSmtp();
  int SaveSmtp();
  int LoadSchedule();
  int SaveSchedule();
  int LoadDns();
  int SaveDns();
  int LoadFirewall();
  int SaveFirewall();
  int LoadCommand();
  int SaveCommand();
  int LoadKaldor();
  int SaveKaldor();
  int LoadDomains();
  int SaveDomains();
  int SaveModem();

  // Writes the version string to key `version` of section SMTP.
  int WriteVersion(const std::string& version);
  // Writes `bakno` after a backup.
  int WriteBackupNumber(int bakno);

  // Called by SaveAll (code 1000) and SaveModem (code 1012) to ask the other process to reload.
  void OnTellPeer(std::function<void(int code)> fn) { tellPeer_ = std::move(fn); }
  // Asks the other process to reload one group (a save of that group elsewhere).
  void TellPeerReload(int code) { TellPeer(code); }
  // Whether a reload's zero result is reported (without an operator only).
  void SetReportReloads(bool on) { reportReloads_ = on; }

  // The locked file object of NEXUM2.INI (tests shorten its retries).
  CLockedIniFile& Nexum() { return nexum_; }

 private:
  // Takes the NEXUM2.INI lock for one load or save (asking on failure); runs `body` and
  // releases. -1 when the lock was refused.
  int WithNexum(const std::function<int()>& body);
  void ComputeAddresses();
  void TellPeer(int code);

  CMessageSink& sink_;
  ISettingsOwners* owners_;
  ISettingsOwners noOwners_;
  HomePaths paths_;
  CLockedIniFile nexum_{""};
  SettingsValues values_;
  mutable std::mutex snapshotMutex_;
  std::shared_ptr<const SettingsValues> snapshot_;
  std::function<void(int)> tellPeer_;
  bool reportReloads_ = true;
  int nexumDepth_ = 0;
};

}  // namespace core
