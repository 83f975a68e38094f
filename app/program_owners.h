// CProgramOwners: the owners of the settings' companion files in this program: the mail store's
// domain and account tables, and the firewall's pattern lists of FIREWALL.CFG (loaded at start-up
// and on reload request 1006). Main thread only; sessions read snapshots.
#pragma once

#include "core/settings.h"
#include "net/firewall.h"
#include "platform/fs.h"
#include "store/mail_store.h"

class CProgramOwners : public store::CMailStore {
 public:
  CProgramOwners(core::CSettings& settings, core::CMessageSink& sink)
      : store::CMailStore(settings, sink), settings_(settings) {}

  // A home without FIREWALL.CFG has no patterns: that is no failure of a reload.
  int LoadFirewallRules() override {
    const std::string& path = settings_.Paths().firewallCfg;
    int rc = rules_.Load(path);
    return rc != 0 && !platform::FileExists(path) ? 0 : rc;
  }
  const net::CFirewallRules& FirewallRules() const { return rules_; }

 private:
  core::CSettings& settings_;
  net::CFirewallRules rules_;
};
