// CProgramJobs: the jobs of the server role, wired from the modules of this program: the SMTP
// and POP3 connection servers with their sessions, distribution, the outbound queues and (as they
// arrive) the rest. Main thread only.
#pragma once

#include <memory>

#include "core/jobs.h"
#include "core/startup.h"
#include "net/connection_server.h"
#include "app/program_commands.h"
#include "app/program_owners.h"
#include "core/command_queue.h"
#include "net/firewall.h"
#include "net/pop3_protocol.h"
#include "net/smtp_protocol.h"
#include "outbound/pop3_collector.h"
#include "outbound/queue_runner.h"
#include "store/distribution.h"
#include "store/generated_messages.h"
#include "store/inbound_intake.h"
#include "store/mail_store.h"

class CProgramJobs : public core::IServerJobs {
 public:
  CProgramJobs(core::ProcessServices& services, CProgramOwners& store);

  void RunDistribution() override;
  void RunOutboundQueues(bool force) override;
  bool OutboundBusy() override;
  void RunCommandQueue() override;
  void CollectPop3(bool users) override;
  int StartConnectionServers(const core::SettingsValues& values, core::CMessageSink& sink) override;
  void StopConnectionServers() override;

 private:
  // The writers of server-made mail, with the current settings.
  store::GeneratedContext Generated() const;
  store::DistributionContext Distribution() const;

  core::ProcessServices& services_;
  CProgramOwners& store_;
  store::CDistributor distributor_;  // one run at a time, from the tick or a session
  net::FirewallContext firewall_;  // what each session's firewall checks read
  std::unique_ptr<store::CInboundQueue> inqueue_;  // where SMTP sessions queue their messages
  net::SmtpContext smtp_;
  net::Pop3Context pop3_;
  std::unique_ptr<net::CConnectionServer> pop3Server_;
  std::unique_ptr<net::CConnectionServer> smtpServer_;
  CProgramCommands commands_;  // what the command queue changes
  core::CCommandQueue commandQueue_;
  // Collection runs of remote POP3 mailboxes; its destructor waits for them.
  std::unique_ptr<outbound::CPOP3Collector> pop3Collector_;
  // Last: its destructor waits for the client threads, which use the members above.
  std::unique_ptr<outbound::COutboundRunner> outbound_;
};
