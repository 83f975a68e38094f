#include "outbound/queue_runner.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <utility>

#include "core/jobs.h"
#include "core/log_set.h"
#include "core/settings.h"
#include "net/socket_extension.h"
#include "platform/path.h"
#include "platform/text.h"
#include "store/store_paths.h"

namespace outbound {

namespace {

std::string QueueKey(const std::string& queueDir) { return platform::ToUpper(queueDir); }

bool IsGatewayRoute(const std::string& route) {
  return platform::EqualNoCase(route, "[local]") || platform::EqualNoCase(route, "[uucp]");
}

ResolverSettings ResolverFrom(const core::SettingsValues& v, const std::string& home) {
  ResolverSettings s;
  s.server1 = v.dns.server1;
  s.server2 = v.dns.server2;
  s.port = v.dns.port;
  s.timeoutSeconds = v.dns.timeout;
  s.logging = v.dns.logging != 0;
  s.logPath = platform::JoinPath(home, "dns.log");
  return s;
}

}  // namespace

COutboundRunner::COutboundRunner(RunnerContext context) : context_(std::move(context)) {}

COutboundRunner::~COutboundRunner() { WaitIdle(); }

bool COutboundRunner::Stopping() const {
  return context_.counters != nullptr && context_.counters->stopping.load();
}

bool COutboundRunner::Busy() const { return active_.load() != 0; }

void COutboundRunner::WaitIdle() { workers_.WaitIdle(); }

ClientContext COutboundRunner::MakeClientContext() const {
  ClientContext c;
  c.home = context_.home;
  c.logs = context_.logs;
  if (context_.domains) c.domains = context_.domains->Snapshot();
  if (context_.generated) c.generated = context_.generated();
  if (context_.makeResolver) {
    c.makeResolver = context_.makeResolver;
  } else if (context_.settings) {
    auto values = context_.settings->Snapshot();
    std::string home = context_.home;
    c.makeResolver = [values, home]() -> std::unique_ptr<IRouteResolver> {
      return std::make_unique<CDnsResolver>(ResolverFrom(*values, home));
    };
  }
  c.now = context_.now;
  if (context_.counters) c.stopping = &context_.counters->stopping;
  return c;
}

int COutboundRunner::Start(ClientConfig config) {
  if (config.destination.rfind('[', 0) == 0 && !config.dnsMode) return 0;
  if (Stopping()) return 0;
  std::string key = QueueKey(config.queueDir);
  // Nothing to send and nothing asked of the peer: no connection.
  if (!config.force && !config.etrn &&
      platform::FindFiles(store::OutqueueDir(context_.home, config.queueDir), "M*.MIM").empty()) {
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_[key]) return 1;
    if (context_.counters && context_.counters->smtpClients.load() >= kMaxClientSessions) return 0;
    running_[key] = true;
    active_.fetch_add(1);
    if (context_.counters) context_.counters->smtpClients.fetch_add(1);
  }
  config.number = clientNumber_.fetch_add(1) + 1;
  // Shared only so that the job can be held by a std::function; the job alone keeps it.
  std::shared_ptr<CSMTPClient> client =
      context_.runClient ? nullptr : std::make_shared<CSMTPClient>(MakeClientContext(), config);
  auto body = [this, key, cfg = std::move(config), client = std::move(client)]() mutable {
    bool relay = !cfg.dnsMode;
    if (relay && context_.logs) {
      (void)context_.logs->Write(
          core::LogId::kSmtpcLow,
          ": SMTP Client thread start: " + std::to_string(cfg.number) + ", " + cfg.queueDir);
    }
    (void)(client ? client->Run() : context_.runClient(cfg));
    if (relay && context_.logs) {
      (void)context_.logs->Write(
          core::LogId::kSmtpcLow,
          ": SMTP Client thread stop : " + std::to_string(cfg.number) + ", " + cfg.queueDir);
    }
    client.reset();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_[key] = false;
    }
    if (context_.counters) context_.counters->smtpClients.fetch_sub(1);
    active_.fetch_sub(1);
  };
  if (!workers_.Start(std::move(body))) {
    std::lock_guard<std::mutex> lock(mutex_);
    running_[key] = false;
    if (context_.counters) context_.counters->smtpClients.fetch_sub(1);
    active_.fetch_sub(1);
    return -1;
  }
  return 0;
}

void COutboundRunner::RunOutboundQueues(bool force) {
  workers_.Reap();
  if (inRun_) return;
  if (Stopping() || context_.settings == nullptr) return;
  inRun_ = true;
  auto values = context_.settings->Snapshot();
  const core::SmtpSettings& smtp = values->smtp;
  bool forceSetting = values->schedule.force != 0 && smtp.noExternalDelivery == 0;
  if (forceSetting) force = true;

  // The default queue: the relay host, or delivery by DNS.
  if (!(!force && smtp.noExternalDelivery != 0 && smtp.mailHubEnabled == 0)) {
    ClientConfig c;
    c.queueDir = store::kMailHubQueue;
    c.destination = smtp.mailHub;
    c.localDomain = smtp.domain;
    c.port = smtp.mailHubPort;
    c.dnsMode = smtp.mailHubEnabled == 0;
    c.etrn = smtp.etrn != 0;
    c.force = forceSetting;
    c.timeoutSeconds = smtp.smtpTimeout;
    (void)Start(std::move(c));
  }

  // The domain queues; a record whose start failed is tried again in another pass, as long as
  // a pass makes progress.
  std::shared_ptr<const store::DomainSnapshot> table =
      context_.domains ? context_.domains->Snapshot() : nullptr;
  if (table) {
    std::set<size_t> done;
    for (bool progress = true; progress && !Stopping();) {
      progress = false;
      for (size_t i = 0; i < table->records.size(); ++i) {
        const store::DomainRecord& r = table->records[i];
        if (done.count(i) || r.deleted || r.added) continue;
        if ((!force && (r.timerRuns == 0 || r.held != 0)) || IsGatewayRoute(r.route) ||
            r.queueDir.empty()) {
          done.insert(i);
          continue;
        }
        ClientConfig c;
        c.queueDir = r.queueDir;
        c.destination = r.route;
        c.localDomain = smtp.domain;
        c.port = 25;
        c.dnsMode = false;
        c.etrn = r.etrn != 0;
        c.force = forceSetting;
        c.timeoutSeconds = smtp.smtpTimeout;
        if (Start(std::move(c)) >= 0) {
          done.insert(i);
          progress = true;
        }
      }
    }
  }
  inRun_ = false;
  if (context_.distribute) context_.distribute();
}

namespace {

// True when `address` (dotted) is the route host of the domain record that owns `queueDir`: the
// route given as that address, or a name that resolves to it.
bool IsRouteHostOf(const store::CDomainTable* domains, const std::string& queueDir,
                   const std::string& address) {
  if (domains == nullptr) return false;
  auto table = domains->Snapshot();
  for (const store::DomainRecord& r : table->records) {
    if (r.deleted || r.added || !platform::EqualNoCase(r.queueDir, queueDir)) continue;
    if (r.route.empty() || r.route[0] == '[') return false;
    std::vector<std::string> addresses = net::ResolveIPv4(r.route);
    return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
  }
  return false;
}

}  // namespace

int COutboundRunner::StartDelivery(const std::string& queueDir, const std::string& host, int port) {
  if (context_.settings == nullptr || queueDir.empty()) return -1;
  // A domain's mail goes only to the host its record routes it to: a client that merely names
  // the domain (ETRN, HELO) from another address gets nothing.
  if (!IsRouteHostOf(context_.domains, queueDir, host)) return -1;
  auto values = context_.settings->Snapshot();
  ClientConfig c;
  c.queueDir = queueDir;
  c.destination = host;
  c.localDomain = values->smtp.domain;
  c.port = port;
  c.dnsMode = false;
  c.timeoutSeconds = values->smtp.smtpTimeout;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = running_.find(QueueKey(queueDir));
    if (it != running_.end() && it->second) return 1;
  }
  int rc = Start(std::move(c));
  return rc < 0 ? -1 : rc;
}

}  // namespace outbound
