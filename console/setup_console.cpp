#include "console/setup_console.h"

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "core/home_modes.h"
#include "core/jobs.h"
#include "core/log_set.h"
#include "core/message_sink.h"
#include "core/peer_signals.h"
#include "core/server.h"
#include "core/settings.h"
#include "outbound/dns_resolver.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "store/account_files.h"
#include "store/domain_table.h"
#include "store/list_server.h"

namespace console {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class CSetupConsole : public core::IConsole {
 public:
  explicit CSetupConsole(core::ConsoleContext& c)
      : interactive_(c.interactive),
        settings_(c.settings),
        sink_(c.sink),
        logs_(c.logs),
        process_(c.process) {
    process_.OnPeerChanged([this] { ShowStatus(); });
    process_.WatchTerminal([this](const std::string& line) { Command(line); });
    ShowStatus();
    Prompt();
  }

 private:
  void Say(const std::string& text) { platform::ShowOperatorText(text); }
  void Prompt() {
    if (interactive_) {
      Say("Commands: send distribute uucp reload save start stop clear sessions status tighten "
          "mx list exit");
    }
  }

  long ServerId() {
    return process_.ServerRole() ? platform::CurrentProcessId() : process_.Peer().ServerId();
  }

  void ShowStatus() {
    if (long id = ServerId(); id != 0) {
      Say("Server running (process " + std::to_string(id) + ")");
    } else {
      Say("Server not running");
    }
  }

  // A job of the server core: run in a server process, posted to the server by a console.
  void Request(long code, const char* what) {
    if (ServerId() == 0) {
      Say("Server not running");
      return;
    }
    Say(process_.Request(code) == 0 ? std::string(what) : "Cannot reach the server");
  }

  void RunBatch(const char* name) {
    std::string path = platform::ResolvePath(platform::JoinPath(settings_.Paths().home, name));
    if (process_.Launch("/bin/sh " + path) != 0) sink_.Error("Cannot execute " + path);
  }

  void Command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, arg;
    words >> verb >> arg;
    verb = Lower(verb);
    if (verb.empty()) return;
    if (verb == "send") {
      Request(core::kSignalSendNowForce, "Outbound queues started");
    } else if (verb == "distribute") {
      Request(core::kSignalDistribute, "Distribution started");
    } else if (verb == "uucp") {
      Request(core::kSignalUucpExchange, "UUCP exchange started");
    } else if (verb == "reload") {
      (void)settings_.LoadAll();
      sink_.Information("Settings reloaded");
    } else if (verb == "save") {
      Save();
    } else if (verb == "start") {
      RunBatch("START.BAT");
    } else if (verb == "stop") {
      RunBatch("STOP.BAT");
    } else if (verb == "clear") {
      Clear(arg);
    } else if (verb == "sessions") {
      Sessions();
    } else if (verb == "tighten") {
      Say(core::TightenReport(settings_.Paths().home, core::TightenHome(settings_.Paths().home)));
    } else if (verb == "mx") {
      std::string server, port;
      words >> server >> port;
      MxQuery(arg, server, port);
    } else if (verb == "list") {
      std::string what;
      words >> what;
      MailingList(arg, Lower(what));
    } else if (verb == "status") {
      if (!process_.ServerRole()) process_.Peer().RereadPeer();
      ShowStatus();
    } else if (verb == "exit" || verb == "quit") {
      process_.ExitProcedure();
    } else {
      Say("Unknown command: " + verb);
      Prompt();
    }
  }

  void Save() {
    (void)settings_.SaveAll(/*tellPeer=*/true);
    core::CPeerSignals& peer = process_.Peer();
    if (!process_.ServerRole() && peer.QueryServiceRunning()) {
      if (peer.Post(1, core::kSignalReloadPending) != 0) {
        sink_.Error(
            "ERROR\n\nThe server is running as a NT service.\n\nThe llast configuration changes "
            "have not been loaded by the service, but they were previously saved in the setup "
            "files. \n\nPlease retry or restart the service.");
        return;
      }
      sink_.Information("The service is now using the last settings");
    } else {
      sink_.Information("Settings has been saved");
    }
  }

  void Clear(const std::string& name) {
    for (int i = 0; i < static_cast<int>(core::LogId::kCount); ++i) {
      auto id = static_cast<core::LogId>(i);
      if (Lower(platform::BaseName(core::LogFileName(id))) == Lower(name)) {
        Say(logs_.Clear(id) == 0 ? "Cleared " + name : "Cannot clear " + name);
        return;
      }
    }
    Say("Unknown log: " + name);
  }

  // One MX query for `domain` to `server` (default: the DNS server of the settings) with the
  // DNS log on; the resolver's account of the answer is shown when it comes. It runs on a
  // thread of its own so that a server's tick goes on while it waits.
  void MxQuery(const std::string& domain, std::string server, const std::string& port) {
    if (domain.empty()) {
      Say("Usage: mx DOMAIN [SERVER [PORT]]");
      return;
    }
    if (mxQuery_.joinable()) mxQuery_.join();  // one query at a time
    const core::DnsSettings& dns = settings_.Values().dns;
    outbound::ResolverSettings rs;
    rs.server1 = dns.server1;
    rs.server2 = dns.server2;
    rs.port = dns.port;
    rs.timeoutSeconds = dns.timeout;
    rs.logging = true;
    rs.logPath = platform::JoinPath(settings_.Paths().home, "dns.log");
    if (server.empty()) server = !dns.server1.empty() ? dns.server1 : dns.server2;
    int portNumber = port.empty() ? dns.port : std::atoi(port.c_str());
    if (server.empty() || portNumber <= 0 || portNumber > 65535) {
      Say(server.empty() ? "No DNS server: give one (mx DOMAIN SERVER) or set server1"
                         : "Bad port: " + port);
      return;
    }
    Say("MX query for " + domain + " to " + server + ":" + std::to_string(portNumber) + "...");
    mxQuery_ = std::jthread([this, rs, domain, server, portNumber] {
      std::string report;
      (void)outbound::DiagnosticMxQuery(rs, domain, server, portNumber, rs.timeoutSeconds, report);
      Say(report);
    });
  }

  // "list NAME": the checks a list's options must pass to be saved, with their messages;
  // "list NAME pending": deletes the members still waiting for confirmation, once confirmed.
  void MailingList(const std::string& name, const std::string& what) {
    if (name.empty() || (!what.empty() && what != "pending")) {
      Say("Usage: list NAME [pending]");
      return;
    }
    const std::string& home = settings_.Paths().home;
    const core::SettingsValues& v = settings_.Values();
    store::CAccountFiles files(home, sink_);
    files.SetDomain(v.smtp.domain);
    store::CAccountTable table;
    if (files.Load(&table) != 0) return;  // the loader has said why
    store::CAccount* list = table.FindAccount(name);
    if (list == nullptr || !list->isList) {
      Say("No mailing list " + name);
      return;
    }
    if (what == "pending") {
      if (sink_.Ask(core::QuestionKind::kYesNoDefaultNo, store::kDeletePendingQuestion) !=
          core::kAnswerYes)
        return;
      int removed = store::DeletePendingMembers(home, list->name);
      Say(removed < 0
              ? "Cannot rewrite the members of " + list->name
              : "Deleted " + std::to_string(removed) + " pending registrations of " + list->name);
      return;
    }
    store::DomainSnapshot domains;
    domains.ownDomain = v.smtp.domain;
    for (const std::string& record : v.domainRecords)
      domains.records.push_back(store::ParseDomainRecord(record));
    std::string message;
    if (store::ValidateListOptions(list, domains, table, v.smtp.domain, &message) != 0) {
      sink_.Error(message);
    } else {
      Say("The mailing list " + list->name + " can be saved (owner " + list->moderator + ")");
    }
  }

  void Sessions() {
    if (!process_.ServerRole()) {
      Say("No sessions run in this console process.");
      return;
    }
    const core::CSessionCounters& c = process_.Counters();
    Say("Server sessions: " + std::to_string(c.serverSessions.load()) +
        ", SMTP client sessions: " + std::to_string(c.smtpClients.load()) +
        ", POP3 client sessions: " + std::to_string(c.pop3Clients.load()));
  }

  bool interactive_;
  core::CSettings& settings_;
  core::CMessageSink& sink_;
  core::CLogSet& logs_;
  core::CServerProcess& process_;
  std::jthread mxQuery_;  // the running MX query; joined before the console goes
};

}  // namespace

std::unique_ptr<core::IConsole> MakeSetupConsole(core::ConsoleContext& context) {
  return std::make_unique<CSetupConsole>(context);
}

}  // namespace console
