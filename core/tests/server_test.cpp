#include "core/server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>

#include "core/locked_ini.h"
#include "core/startup.h"
#include "core/tests/fakes.h"
#include "platform/lock_file.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/thread_signal.h"
#include "testing/temp_dir.h"

namespace core {
namespace {

using testing_support::CTempDir;

struct ServerFixture : ::testing::Test {
  ServerFixture() : sink(dir / "message.log", nullptr), settings(sink, nullptr) {
    settings.SetHome(dir.path());
    flags.serverRole = true;
    flags.serviceMode = true;
    // A console process is known: its socket receives what the server posts.
    EXPECT_EQ(console.Bind(dir.path(), kConsoleId), 0);
    EXPECT_EQ(platform::WriteProfileString(dir / "QUORVALE.INI", "data", "stpthread",
                                           std::to_string(kConsoleId)),
              0);
  }
  long Published(const char* key) {
    return platform::GetProfileLong(dir / "QUORVALE.INI", "data", key, -1);
  }
  std::vector<long> ConsoleReceived() {
    std::vector<long> codes;
    while (auto s = console.Receive()) codes.push_back(s->param);
    return codes;
  }
  void Signal(long code) { server->OnThreadSignal({kSignalName, 1, code}); }

  static constexpr long kConsoleId = 4242;
  CTempDir dir;
  CMessageSink sink;
  CSettings settings;
  CRecordingJobs jobs;
  CSessionCounters counters;
  ProcessFlags flags;
  platform::CSignalSocket console;
  std::unique_ptr<CServerProcess> server;
};

TEST_F(ServerFixture, StartPublishesAnnouncesAndWritesTheVersion) {
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("Version 2000.08.A - Linux.6.1.0"), 0);
  EXPECT_EQ(Published("srvthread"), platform::CurrentProcessId());
  EXPECT_EQ(platform::GetProfileString(dir / "NEXUM2.INI", "SMTP", "version", ""),
            "Version 2000.08.A - Linux.6.1.0");
  EXPECT_EQ(ConsoleReceived(), (std::vector<long>{kSignalRereadPeer}));
  EXPECT_TRUE(server->Flags().commandPending);  // the first tick runs the command queue
  EXPECT_EQ(jobs.Count("start-gates"), 1);
  EXPECT_NE(ReadText(dir / "message.log").find("   OK: Server started\r\n"), std::string::npos);
}

TEST_F(ServerFixture, SignalsStartTheirJobs) {
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("v"), 0);
  Signal(kSignalDistribute);
  Signal(kSignalSendNowForce);
  Signal(kSignalUucpExchange);
  EXPECT_EQ(jobs.ran, (std::vector<std::string>{"start-gates", "distribution", "outbound-force",
                                                "uucp-exchange", "distribution"}));
  Signal(kSignalSendNext);
  EXPECT_TRUE(server->Flags().sendNow);
  server->OnTimer();
  EXPECT_EQ(jobs.Count("outbound"), 1);  // at the next tick
  server->Flags().commandPending = false;
  Signal(kSignalCommandQueued);
  EXPECT_TRUE(server->Flags().commandPending);
  server->OnThreadSignal({kSignalName, 1, 299});  // unknown codes are ignored
  server->OnThreadSignal({kSignalName, 2, 211});
  server->OnThreadSignal({"SOMETHING_ELSE", 1, 211});
  EXPECT_EQ(jobs.Count("distribution"), 2);
  server->OnThreadSignal({kImsApiName, 3, 4});
  EXPECT_NE(ReadText(dir / "message.log").find("OnImsApiCmd(wParam=3, lParam=4)"),
            std::string::npos);
}

TEST_F(ServerFixture, ReloadsBySignalAndByHangup) {
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("v"), 0);
  ASSERT_EQ(platform::WriteProfileString(dir / "NEXUM2.INI", "DNS", "port", "5353"), 0);
  Signal(kReloadDns);
  EXPECT_EQ(settings.Values().dns.port, 5353);
  server->OnPosixSignal(platform::ProcessSignal::kHangup);
  std::string log = ReadText(dir / "message.log");
  EXPECT_NE(log.find("OnServiceReload(1003) => 0"), std::string::npos);
  EXPECT_NE(log.find("OnServiceReload(1000) => 0"), std::string::npos);

  // 201: reload at the next tick.
  ASSERT_EQ(platform::WriteProfileString(dir / "NEXUM2.INI", "DNS", "port", "53"), 0);
  Signal(kSignalReloadPending);
  EXPECT_EQ(settings.Values().dns.port, 5353);
  server->OnTimer();
  EXPECT_EQ(settings.Values().dns.port, 53);
  EXPECT_NE(ReadText(dir / "message.log").find("   OK: Settings reloaded\r\n"), std::string::npos);
}

TEST_F(ServerFixture, StopSignalWithdrawsAtOnceAndWaitsForOutboundSessions) {
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("v"), 0);
  ConsoleReceived();
  counters.smtpClients = 1;
  server->OnPosixSignal(platform::ProcessSignal::kTerminate);
  EXPECT_EQ(Published("srvthread"), 0);
  EXPECT_EQ(ConsoleReceived(), (std::vector<long>{kSignalRereadPeer}));
  EXPECT_TRUE(counters.stopping);
  for (int i = 0; i < 30; ++i) server->OnTimer();
  EXPECT_FALSE(server->Ended());
  EXPECT_EQ(jobs.Count("commands"), 0);  // no job runs while stopping
  counters.smtpClients = 0;
  for (int i = 0; i < 10; ++i) server->OnTimer();
  EXPECT_TRUE(server->Ended());
  EXPECT_NE(ReadText(dir / "message.log").find("   OK: Server stopping...\r\n"), std::string::npos);
}

// A console that started just before the stop: its announcement (203) has not been read yet,
// but the stopping server finds its published id and tells it.
TEST_F(ServerFixture, AStopTellsAConsoleWhoseAnnouncementWasNotReadYet) {
  ASSERT_EQ(platform::WriteProfileString(dir / "QUORVALE.INI", "data", "stpthread", "0"), 0);
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("v"), 0);
  EXPECT_EQ(ConsoleReceived(), std::vector<long>{});  // no console yet
  ASSERT_EQ(platform::WriteProfileString(dir / "QUORVALE.INI", "data", "stpthread",
                                         std::to_string(kConsoleId)),
            0);
  server->OnPosixSignal(platform::ProcessSignal::kTerminate);
  EXPECT_EQ(ConsoleReceived(), (std::vector<long>{kSignalRereadPeer}));
}

TEST_F(ServerFixture, ExitProcedureWaitsForEverySessionKind) {
  flags.serviceMode = false;  // no operator either: a quiet exit
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("v"), 0);
  counters.serverSessions = 2;
  counters.pop3Clients = 1;
  server->OnPosixSignal(platform::ProcessSignal::kInterrupt);
  EXPECT_EQ(jobs.Count("stop-gates"), 1);
  for (int i = 0; i < 20; ++i) server->OnTimer();
  EXPECT_FALSE(server->Ended());
  EXPECT_EQ(Published("srvthread"), platform::CurrentProcessId());
  counters.serverSessions = 0;
  for (int i = 0; i < 10; ++i) server->OnTimer();
  EXPECT_FALSE(server->Ended());
  counters.pop3Clients = 0;
  jobs.outboundBusy = true;
  for (int i = 0; i < 10; ++i) server->OnTimer();
  EXPECT_FALSE(server->Ended());
  jobs.outboundBusy = false;
  for (int i = 0; i < 10; ++i) server->OnTimer();
  EXPECT_TRUE(server->Ended());
  EXPECT_EQ(Published("srvthread"), 0);
  EXPECT_EQ(ReadText(dir / "message.log").find("Clients and Servers terminated"),
            std::string::npos);  // quiet
}

// The interactive process's instance lock is held for the whole run, while the process and its
// peer read and write QUORVALE.INI under QUORVALE.LCK: the two never name the same file.
TEST(StartupTest, TheInstanceLockLeavesTheSettingsLocksFree) {
  CTempDir dir;
  platform::CInstanceLock instance;
  long holder = 0;
  ASSERT_EQ(instance.Acquire(InstanceLockPath(dir.path()), &holder), 0);
  auto started = std::chrono::steady_clock::now();
  for (const char* name : {"QUORVALE.INI", "NEXUM2.INI", "quorvale.ini"}) {
    CLockedIniFile ini(dir / name);
    EXPECT_EQ(ini.WriteInt("data", "srvthread", 77), 0) << name;
    EXPECT_EQ(ini.ReadLong("data", "srvthread", 0), 77) << name;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  // A second interactive process is refused and told who holds it.
  platform::CInstanceLock second;
  EXPECT_EQ(second.Acquire(InstanceLockPath(dir.path()), &holder), -1);
  EXPECT_EQ(holder, platform::CurrentProcessId());
}

// A console process: its exit asks, and settings changes it was told of (200-202) are pushed
// to the server before it ends.
struct ConsoleFixture : ::testing::Test {
  ConsoleFixture()
      : sink(dir / "message.log", std::make_unique<CScriptedOperator>(&shown, &answers)),
        settings(sink, nullptr) {
    settings.SetHome(dir.path());
    sink.SetOperator(true);
    flags.interactive = true;  // the console role only
    // A running server: a live process id (init) and its socket.
    EXPECT_EQ(serverSocket.Bind(dir.path(), kServerId), 0);
    EXPECT_EQ(platform::WriteProfileString(dir / "QUORVALE.INI", "data", "srvthread",
                                           std::to_string(kServerId)),
              0);
    console = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
    EXPECT_EQ(console->StartServing("v"), 0);
  }
  std::vector<long> ServerReceived() {
    std::vector<long> codes;
    while (auto s = serverSocket.Receive()) codes.push_back(s->param);
    return codes;
  }
  long Published(const char* key) {
    return platform::GetProfileLong(dir / "QUORVALE.INI", "data", key, -1);
  }
  void Signal(long code) { console->OnThreadSignal({kSignalName, 1, code}); }
  bool Asked(const std::string& text) {
    return std::find(shown.begin(), shown.end(), text) != shown.end();
  }

  static constexpr long kServerId = 1;
  CTempDir dir;
  std::vector<std::string> shown;
  std::deque<int> answers;
  CMessageSink sink;
  CSettings settings;
  CRecordingJobs jobs;
  CSessionCounters counters;
  ProcessFlags flags;
  platform::CSignalSocket serverSocket;
  std::unique_ptr<CServerProcess> console;
};

TEST_F(ConsoleFixture, ExitAsksAndNoKeepsTheConsole) {
  EXPECT_EQ(Published("stpthread"), platform::CurrentProcessId());
  EXPECT_EQ(ServerReceived(), (std::vector<long>{kSignalRereadPeer}));
  answers = {kAnswerNo};
  console->ExitProcedure();
  EXPECT_TRUE(Asked("Are you sure you want to exit?"));
  EXPECT_FALSE(console->Ended());
  EXPECT_FALSE(counters.stopping);
  EXPECT_EQ(Published("stpthread"), platform::CurrentProcessId());
  shown.clear();
  answers = {kAnswerYes};
  console->ExitProcedure();
  EXPECT_TRUE(Asked("Are you sure you want to exit?"));
  EXPECT_TRUE(console->Ended());
  EXPECT_EQ(Published("stpthread"), 0);
  EXPECT_EQ(ServerReceived(), (std::vector<long>{kSignalRereadPeer}));  // the withdrawal
}

TEST_F(ConsoleFixture, SettingsChangesToldBySignalsArePushedAtExit) {
  ServerReceived();
  Signal(kSignalSettingsChanged);
  EXPECT_TRUE(console->SettingsChanged());
  Signal(kSignalSettingsSaved);
  EXPECT_FALSE(console->SettingsChanged());
  answers = {kAnswerNo};
  console->ExitProcedure();  // nothing changed: nothing pushed
  EXPECT_EQ(ServerReceived(), std::vector<long>{});

  Signal(kSignalSettingsChanged);
  answers = {kAnswerYes};
  console->ExitProcedure();
  EXPECT_TRUE(console->Ended());
  EXPECT_FALSE(console->SettingsChanged());
  EXPECT_EQ(ServerReceived(), (std::vector<long>{kSignalReloadPending, kSignalRereadPeer}));
}

TEST_F(ConsoleFixture, ReloadPendingIsServedByTheNextTickAndPushed) {
  ServerReceived();
  ASSERT_EQ(platform::WriteProfileString(dir / "NEXUM2.INI", "DNS", "port", "5353"), 0);
  Signal(kSignalReloadPending);
  EXPECT_NE(settings.Values().dns.port, 5353);
  console->OnTimer();
  EXPECT_EQ(settings.Values().dns.port, 5353);
  EXPECT_TRUE(Asked("Settings reloaded"));
  EXPECT_FALSE(console->SettingsChanged());
  EXPECT_EQ(ServerReceived(), (std::vector<long>{kSignalReloadPending}));
  EXPECT_EQ(jobs.ran, std::vector<std::string>{});  // a console runs no job of the tick
}

TEST_F(ConsoleFixture, JobsArePostedToTheServerAndStopEndsTheConsoleQuietly) {
  ServerReceived();
  EXPECT_EQ(console->Request(kSignalDistribute), 0);
  EXPECT_EQ(console->Request(kSignalSendNowForce), 0);
  EXPECT_EQ(ServerReceived(), (std::vector<long>{kSignalDistribute, kSignalSendNowForce}));
  EXPECT_EQ(jobs.ran, std::vector<std::string>{});
  console->OnPosixSignal(platform::ProcessSignal::kTerminate);
  EXPECT_TRUE(console->Ended());
  EXPECT_FALSE(Asked("Are you sure you want to exit?"));
  EXPECT_EQ(Published("stpthread"), 0);
}

TEST_F(ServerFixture, AServerRunsTheConsolesRequestsItself) {
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("v"), 0);
  ConsoleReceived();
  EXPECT_EQ(server->Request(kSignalDistribute), 0);
  EXPECT_EQ(server->Request(kSignalSendNowForce), 0);
  EXPECT_EQ(server->Request(kSignalUucpExchange), 0);
  EXPECT_EQ(jobs.ran, (std::vector<std::string>{"start-gates", "distribution", "outbound-force",
                                                "uucp-exchange", "distribution"}));
  EXPECT_EQ(ConsoleReceived(), std::vector<long>{});
}

}  // namespace
}  // namespace core

namespace core {
namespace {

// The command queue's "exit" and "Backup" are requests that the next tick serves: the exit is
// quiet (an interactive server asks nothing), the backup runs the backup command.
TEST_F(ServerFixture, TheCommandQueuesExitAndBackupAreServedByTheNextTick) {
  flags.serviceMode = false;
  flags.interactive = true;  // an exit that is not quiet would ask, and be answered No
  settings.MutableValues().smtp.bakCmd = "touch backup-ran";
  server = std::make_unique<CServerProcess>(settings, sink, jobs, counters, flags);
  ASSERT_EQ(server->StartServing("v"), 0);
  counters.backupRequested = true;
  server->OnTimer();
  EXPECT_FALSE(counters.backupRequested);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!platform::FileExists(dir / "backup-ran") && std::chrono::steady_clock::now() < deadline) {
    platform::SleepMilliseconds(10);
    server->OnTimer();
  }
  EXPECT_TRUE(platform::FileExists(dir / "backup-ran"));
  EXPECT_FALSE(server->Ended());
  counters.exitRequested = true;
  for (int i = 0; i < 20 && !server->Ended(); ++i) server->OnTimer();
  EXPECT_TRUE(server->Ended());
  EXPECT_TRUE(counters.stopping);
  EXPECT_EQ(Published("srvthread"), 0);
}

}  // namespace
}  // namespace core
