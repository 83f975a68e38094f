#include "app/program_jobs.h"

#include "core/log_set.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "store/account_table.h"
#include "store/list_server.h"

CProgramJobs::CProgramJobs(core::ProcessServices& services, CProgramOwners& store)
    : services_(services),
      store_(store),
      commands_(store, [this] { return Generated(); }),
      commandQueue_({services.settings, services.sink, *this, commands_, services.counters,
                     services.serviceMode}) {
  smtp_.settings = &services.settings;
  smtp_.logs = &services.logs;
  smtp_.domains = &store.Domains();
  smtp_.accounts = &store.Accounts();
  firewall_.settings = &services.settings;
  firewall_.logs = &services.logs;
  firewall_.domains = &store.Domains();
  firewall_.rules = &store.FirewallRules();
  firewall_.version = services.version;
  firewall_.queueFileMessage = [this](const std::string& to, const std::string& subject,
                                      const std::string& file, const std::string& from, long limit) {
    return store::QueueFileMessage(Generated(), to, subject, file, from, limit);
  };
  smtp_.openFirewall = [this](const std::string& peer) {
    return std::make_unique<net::CFirewallSession>(firewall_, peer);
  };
  smtp_.counters = &services.counters;
  smtp_.version = services.version;
  pop3_.settings = &services.settings;
  pop3_.logs = &services.logs;
  pop3_.accounts = &store.Accounts();
  pop3_.version = services.version;
  pop3_.saveCounters = [&store](const std::string& account, int count, int kbytes) {
    (void)store.AccountFiles().SaveCounters(account, count, kbytes);
  };
  // At the end of each session its messages are distributed at once.
  smtp_.distribute = [this] { RunDistribution(); };
  // After each accepted message: the log-size watch, whose warning is a generated message.
  smtp_.checkLogSizes = [this] {
    services_.logs.CheckSizes(nullptr, [this](const std::string& to, const std::string& from,
                                              const std::string& subject, const std::string& body) {
      return store::QueueTextMessage(Generated(), to, subject, body, from);
    });
  };
}

void CProgramJobs::RunOutboundQueues(bool force) {
  if (outbound_) outbound_->RunOutboundQueues(force);
}

bool CProgramJobs::OutboundBusy() { return outbound_ && outbound_->Busy(); }

// The users' accounts, or the shared collection of "$default" into INQUEUE.
void CProgramJobs::CollectPop3(bool users) {
  if (pop3Collector_) (void)pop3Collector_->GetPop3Mail(users ? "" : store::kDefaultAccount);
}

void CProgramJobs::RunDistribution() { (void)distributor_.DistributeInbound(Distribution()); }

void CProgramJobs::RunCommandQueue() { (void)commandQueue_.Run(); }

store::DistributionContext CProgramJobs::Distribution() const {
  auto values = services_.settings.Snapshot();
  store::DistributionContext ctx;
  ctx.generated = Generated();
  ctx.maxHops = values->smtp.maxHops;
  ctx.vacationDays = values->smtp.vacationDays;
  ctx.log = [logs = &services_.logs](const std::string& line) {
    (void)logs->Write(core::LogId::kError, line);
  };
  ctx.daemonAddress = values->smtp.daemon;
  ctx.stopping = &services_.counters.stopping;
  // Mail to a list account goes to the list server.
  store::ListContext list{ctx.generated, ctx.daemonAddress, ctx.log};
  ctx.redistribute = [list](const std::string& message, const store::CAccount& account,
                            const std::string& sender, const std::string& address) {
    return store::RedistributePost(list, message, account, sender, address);
  };
  return ctx;
}

store::GeneratedContext CProgramJobs::Generated() const {
  auto values = services_.settings.Snapshot();
  store::GeneratedContext ctx;
  ctx.home = services_.settings.Paths().home;
  ctx.primaryDomain = values->smtp.domain;
  ctx.product = values->branding.oemsoft;
  ctx.domains = &store_.Domains();
  ctx.accounts = &store_.Accounts();
  ctx.wakeOutbound = [counters = &services_.counters] { counters->outboundWaiting = true; };
  return ctx;
}

int CProgramJobs::StartConnectionServers(const core::SettingsValues& values,
                                         core::CMessageSink& sink) {
  std::string home = services_.settings.Paths().home;
  inqueue_ = std::make_unique<store::CInboundQueue>(home);
  smtp_.inqueue = inqueue_.get();
  smtp_.product = values.branding.oemsoft;
  if (int cleared = store_.RecoverInterruptedWrites(); cleared > 0) {
    sink.Information("Finished " + std::to_string(cleared) + " interrupted mail file writes");
  }
  // Notices for unknown local users go to the postmaster; without its account they are dropped.
  if (store_.Accounts().Snapshot()->FindAccount(store::kMasterAccount) == nullptr) {
    sink.Warning(
        "The postmaster account (master) does not exist: notices to the postmaster "
        "cannot be delivered and are dropped");
  }
  outbound::RunnerContext out;
  out.home = home;
  out.settings = &services_.settings;
  out.logs = &services_.logs;
  out.domains = &store_.Domains();
  out.counters = &services_.counters;
  out.generated = [this] { return Generated(); };
  out.distribute = [this] { RunDistribution(); };
  outbound_ = std::make_unique<outbound::COutboundRunner>(std::move(out));
  // A remote host that calls in (ETRN, or HELO for a domain without timer runs) gets its queue.
  smtp_.startDelivery = [this](const std::string& queueDir, const std::string& host, int port) {
    return outbound_->StartDelivery(queueDir, host, port);
  };
  outbound::Pop3ClientContext collect;
  collect.home = home;
  collect.settings = &services_.settings;
  collect.logs = &services_.logs;
  collect.domains = &store_.Domains();
  collect.accounts = &store_.Accounts();
  collect.generated = [this] { return Generated(); };
  collect.product = smtp_.product;
  collect.version = services_.version;
  pop3Collector_ =
      std::make_unique<outbound::CPOP3Collector>(std::move(collect), &services_.counters);
  commands_.SetPop3Starter(
      [this](const std::string& account) { return pop3Collector_->GetPop3Mail(account); });
  pop3_.home = home;
  firewall_.home = home;
  firewall_.product = smtp_.product;
  pop3_.product = smtp_.product;
  auto report = [&sink](const std::string& text) { sink.Error(text); };
  // POP3 first, then SMTP.
  if (values.smtp.pop3Port != 0) {
    if (services_.serviceMode) sink.Information("Starting POP3 server");
    pop3Server_ = std::make_unique<net::CConnectionServer>(
        "POP3 Server", values.smtp.ipAddress, values.smtp.pop3Port, values.smtp.pop3Timeout,
        [this] { return std::make_unique<net::CPOP3Protocol>(pop3_); }, services_.counters, report);
    pop3Server_->SetSessionLimit(values.smtp.maxSessions, net::kPop3TooManySessionsReply);
    if (pop3Server_->Start() == 0) sink.Error("Cannot start the POP3 server.");
  }
  if (values.smtp.smtpPort != 0) {
    if (services_.serviceMode) sink.Information("Starting SMTP server");
    smtpServer_ = std::make_unique<net::CConnectionServer>(
        "SMTP Server", values.smtp.ipAddress, values.smtp.smtpPort, values.smtp.smtpTimeout,
        [this] { return std::make_unique<net::CSMTPProtocol>(smtp_); }, services_.counters, report);
    smtpServer_->SetSessionLimit(values.smtp.maxSessions, net::kSmtpTooManySessionsReply);
    if (smtpServer_->Start() == 0) sink.Error("Cannot start the SMTP server.");
  }
  return 0;
}

void CProgramJobs::StopConnectionServers() {
  if (smtpServer_) smtpServer_->Stop();
  smtpServer_.reset();
  if (pop3Server_) pop3Server_->Stop();
  pop3Server_.reset();
}
