#include "console/setup_console.h"

#include <cctype>
#include <sstream>

#include "core/home_modes.h"
#include "core/log_set.h"
#include "core/message_sink.h"
#include "core/peer_signals.h"
#include "core/settings.h"
#include "platform/event_loop.h"
#include "platform/launcher.h"
#include "platform/path.h"
#include "platform/service.h"
#include "platform/system.h"
#include "platform/terminal.h"

namespace console {
namespace {

using core::CPeerSignals;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class CSetupConsole {
 public:
  explicit CSetupConsole(core::ConsoleContext& c)
      : context_(c),
        settings_(c.settings),
        sink_(c.sink),
        logs_(c.settings),
        peer_(settings_.Paths().home, settings_.Paths().quorvaleIni, core::ProcessRole::kConsole,
              platform::CurrentProcessId(),
              [this] { return platform::ServiceActive(settings_.Values().branding.oemsoft); }) {
    logs_.SetHome(settings_.Paths().home);
  }

  int Run() {
    if (loop_.Open() != 0 || socket_.Bind(settings_.Paths().home, peer_.OwnId()) != 0) {
      sink_.Error("LoadFrame error...");
      return 1;
    }
    peer_.Publish(true);
    settings_.OnTellPeer([this](int code) { (void)peer_.Post(1, code); });
    ShowStatus();
    loop_.OnSignal([this](platform::ProcessSignal s) {
      if (s == platform::ProcessSignal::kInterrupt || s == platform::ProcessSignal::kTerminate) {
        Exit();
      }
    });
    loop_.OnTimer([this] { launcher_.Reap(); });
    loop_.WatchSignalSocket(&socket_, [this](const platform::ThreadSignal& s) { OnSignal(s); });
    loop_.WatchTerminalLines([this](const std::string& line, bool eof) {
      if (eof) {
        Exit();
      } else {
        Command(line);
      }
    });
    Prompt();
    loop_.Run();
    return 0;
  }

 private:
  void Say(const std::string& text) { platform::ShowOperatorText(text); }
  void Prompt() {
    if (context_.interactive) Say("Commands: send distribute uucp reload save start stop clear "
                                  "sessions status tighten exit");
  }

  void ShowStatus() {
    if (peer_.ServerId() != 0) {
      Say("Server running (process " + std::to_string(peer_.ServerId()) + ")");
    } else {
      Say("Server not running");
    }
  }

  void OnSignal(const platform::ThreadSignal& s) {
    if (s.name != core::kSignalName || s.word != 1) return;
    if (s.param == core::kSignalRereadPeer) {
      peer_.RereadPeer();
      ShowStatus();
    } else if (s.param >= core::kReloadAll && s.param <= 1015) {
      (void)settings_.Reload(static_cast<int>(s.param));
    }
  }

  void Post(long code, const char* what) {
    if (peer_.ServerId() == 0) {
      Say("Server not running");
      return;
    }
    Say(peer_.Post(1, code) == 0 ? std::string(what) : "Cannot reach the server");
  }

  void RunBatch(const char* name) {
    std::string path = platform::ResolvePath(platform::JoinPath(settings_.Paths().home, name));
    if (launcher_.Launch("/bin/sh " + path, settings_.Paths().home) != 0) {
      sink_.Error("Cannot execute " + path);
    }
  }

  void Command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, arg;
    words >> verb >> arg;
    verb = Lower(verb);
    if (verb.empty()) return;
    if (verb == "send") {
      Post(core::kSignalSendNowForce, "Outbound queues started");
    } else if (verb == "distribute") {
      Post(core::kSignalDistribute, "Distribution started");
    } else if (verb == "uucp") {
      Post(core::kSignalUucpExchange, "UUCP exchange started");
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
      Say("No sessions run in this console process.");
    } else if (verb == "tighten") {
      Say(core::TightenReport(settings_.Paths().home, core::TightenHome(settings_.Paths().home)));
    } else if (verb == "status") {
      peer_.RereadPeer();
      ShowStatus();
    } else if (verb == "exit" || verb == "quit") {
      Exit();
    } else {
      Say("Unknown command: " + verb);
      Prompt();
    }
  }

  void Save() {
    (void)settings_.SaveAll(/*tellPeer=*/true);
    if (peer_.QueryServiceRunning()) {
      if (peer_.Post(1, core::kSignalReloadPending) != 0) {
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

  void Exit() {
    peer_.Withdraw();
    loop_.Quit();
  }

  core::ConsoleContext& context_;
  core::CSettings& settings_;
  core::CMessageSink& sink_;
  core::CLogSet logs_;
  CPeerSignals peer_;
  platform::CEventLoop loop_;
  platform::CSignalSocket socket_;
  platform::CLauncher launcher_;
};

}  // namespace

int RunSetupConsole(core::ConsoleContext& context) {
  CSetupConsole console(context);
  return console.Run();
}

}  // namespace console
