#include "core/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/message_sink.h"
#include "core/tests/fakes.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "testing/temp_dir.h"

namespace core {
namespace {

using testing_support::CTempDir;

// Records the calls to the groups other modules own.
class CRecordingOwners : public ISettingsOwners {
 public:
  int LoadFirewallRules() override { return Note("firewall-rules"); }
  int LoadAccounts() override { return Note("accounts"); }
  int SaveAccounts() override { return Note("save-accounts"); }
  int SaveAccountExtras() override { return Note("save-account-extras"); }
  int LoadUucp() override { return Note("uucp"); }
  int LoadModem() override { return Note("modem"); }
  int SaveModem() override { return Note("save-modem"); }
  int LoadDomainTable(const std::vector<std::string>& fromLast) override {
    domains = fromLast;
    return Note("domains");
  }
  int Note(const char* what) {
    calls.push_back(what);
    return 0;
  }
  std::vector<std::string> calls;
  std::vector<std::string> domains;
};

struct SettingsFixture : ::testing::Test {
  SettingsFixture() : sink(dir / "message.log", nullptr), settings(sink, &owners) {
    settings.SetHome(dir.path());
    EXPECT_EQ(platform::MakeDirectory(dir / "COMMAND"), 0);
  }
  void Write(const std::string& name, const std::string& text) {
    ASSERT_EQ(platform::WriteFileAtomic(dir / name, text), 0);
  }
  CTempDir dir;
  CMessageSink sink;
  CRecordingOwners owners;
  CSettings settings;
};

TEST_F(SettingsFixture, LocatesHomeThroughTorvikOrZephant) {
  CTempDir windir;
  ::setenv("WINDIR", windir.path().c_str(), 1);
  EXPECT_EQ(settings.LocateHome(), -1);
  EXPECT_NE(ReadText(dir / "message.log")
                .find("ERROR: Missing [Settings] section or \"HomeDir=\" entry in TORVIK.INI \r\n"),
            std::string::npos);

  ASSERT_EQ(platform::WriteFileAtomic(windir / "ZEPHANT.INI", "[TorvikOffice]\r\nHomeDir=/srv/qv/\r\n"), 0);
  ASSERT_EQ(settings.LocateHome(), 0);
  EXPECT_EQ(settings.Paths().home, "/srv/qv");
  EXPECT_EQ(settings.Paths().nexumIni, "/srv/qv/NEXUM2.INI");
  EXPECT_EQ(settings.Paths().uucpHub, "/srv/qv/OUTQUEUE/UUCPHUB");
  // The value found in the fallback is copied into TORVIK.INI.
  EXPECT_EQ(platform::GetProfileString(windir / "TORVIK.INI", "Settings", "HomeDir", ""), "/srv/qv/");

  ASSERT_EQ(platform::WriteProfileString(windir / "TORVIK.INI", "Settings", "HomeDir", "C:\\mail"), 0);
  ASSERT_EQ(settings.LocateHome(), 0);
  EXPECT_EQ(settings.Paths().home, "C:/mail");
  ::unsetenv("WINDIR");
}

TEST_F(SettingsFixture, DefaultsAndComputedAddresses) {
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=example.test\r\nDeliveryDelayUnit=1\r\n");
  ASSERT_EQ(settings.LoadAll(), 0);
  const SettingsValues& v = settings.Values();
  EXPECT_EQ(v.smtp.localName, "example.test");  // defaults to Domain
  EXPECT_EQ(v.smtp.ipAddress, "0.0.0.0");
  EXPECT_EQ(v.smtp.smtpPort, 25);
  EXPECT_EQ(v.smtp.maxHops, 30);
  EXPECT_EQ(v.smtp.deliveryDelayUnit, 1);
  EXPECT_EQ(v.smtp.postmaster, "master@example.test");
  EXPECT_EQ(v.smtp.daemon, "MAILER-DAEMON@example.test");
  EXPECT_EQ(v.firewall.smartTo, "master@example.test");
  EXPECT_EQ(v.firewall.smtpSmartLog, 1);
  EXPECT_EQ(v.command.adminAddress, "master@example.test");
  EXPECT_EQ(v.kaldor.admDelay, 300);
  EXPECT_EQ(v.kaldor.kaldorAlias, "kaldor.dll");
  EXPECT_EQ(v.dns.timeout, 20);
  EXPECT_EQ(v.schedule.frequency, 5);
  EXPECT_EQ(v.branding.oemsoft, "Varnel");
  // Groups of other modules, in the order of a full load.
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"firewall-rules", "domains", "accounts",
                                                    "uucp", "modem"}));
  EXPECT_EQ(settings.Snapshot()->smtp.postmaster, "master@example.test");
}

TEST_F(SettingsFixture, LimitsCutLongValuesAndUucpSwitchesComeFromUserver) {
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=" + std::string(200, 'd') +
                          "\r\nIPaddress=127.000.000.001.99\r\n");
  Write("USERVER.INI", "[section]\r\nUUCP=1\r\nEnableUUCP=1\r\n");
  ASSERT_EQ(settings.LoadSmtp(), 0);
  EXPECT_EQ(settings.Values().smtp.domain.size(), kMaxNameLen);
  EXPECT_EQ(settings.Values().smtp.ipAddress, "127.000.000.001");  // 15 characters
  EXPECT_EQ(settings.Values().smtp.uucp, 1);
  EXPECT_EQ(settings.Values().smtp.enableUucp, 1);
  EXPECT_EQ(settings.Values().smtp.sendByUucp, 0);
}

TEST_F(SettingsFixture, OldScheduleSectionMovesIntoTheScheduleKey) {
  Write("NEXUM2.INI", "[SMTP]\r\nusefreq=0\r\n[Schedule]\r\nn=2\r\n1=08:00\r\n2=17:30\r\n");
  ASSERT_EQ(settings.LoadSchedule(), 0);
  EXPECT_EQ(settings.Values().schedule.times, (std::vector<int>{480, 1050}));
  EXPECT_EQ(settings.Values().schedule.useFreq, 0);
  platform::CIniDocument doc;
  ASSERT_EQ(platform::LoadProfile(dir / "NEXUM2.INI", &doc), 0);
  EXPECT_FALSE(doc.HasSection("Schedule"));
  EXPECT_EQ(doc.Get("SMTP", "schedule").value_or(""), "08:00 17:30");
  // A second load reads the key, and the times survive.
  ASSERT_EQ(settings.LoadSchedule(), 0);
  EXPECT_EQ(settings.Values().schedule.times, (std::vector<int>{480, 1050}));
  EXPECT_EQ(ParseScheduleTimes("8:00,17:30  7:5"), (std::vector<int>{480, 1050, 425}));
}

TEST_F(SettingsFixture, CommandAndWebSettingsMigrateOutOfTheirOldFiles) {
  Write("COMMAND/COMMAND.INI",
        "[Settings]\r\nDelay=30\r\nEmailFeedback=0\r\nLogging=1\r\nAdminAddress=ops@example.test\r\n");
  Write("KALDOR.INI", "[Kaldor]\r\nadmlevel=2\r\nadmdelay=60\r\nhttp_referer_control=web.dll\r\n");
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=example.test\r\n");
  ASSERT_EQ(settings.LoadSmtp(), 0);
  ASSERT_EQ(settings.LoadCommand(), 0);
  ASSERT_EQ(settings.LoadKaldor(), 0);
  EXPECT_EQ(settings.Values().command.delay, 30);
  EXPECT_EQ(settings.Values().command.emailFeedback, 0);
  EXPECT_EQ(settings.Values().command.logging, 1);
  EXPECT_EQ(settings.Values().command.adminAddress, "ops@example.test");
  EXPECT_EQ(settings.Values().kaldor.admLevel, 2);
  EXPECT_EQ(settings.Values().kaldor.httpRefererControl, "web.dll");
  EXPECT_FALSE(platform::FileExists(dir / "COMMAND/COMMAND.INI"));
  EXPECT_FALSE(platform::FileExists(dir / "KALDOR.INI"));
  platform::CIniDocument doc;
  ASSERT_EQ(platform::LoadProfile(dir / "NEXUM2.INI", &doc), 0);
  EXPECT_EQ(doc.Get("Command", "Delay").value_or(""), "30");
  EXPECT_EQ(doc.Get("Kaldor", "admdelay").value_or(""), "60");

  // Without old files the defaults are stored, and the next load does not migrate again.
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=example.test\r\n");
  ASSERT_EQ(settings.LoadCommand(), 0);
  EXPECT_EQ(settings.Values().command.delay, 0);
  EXPECT_EQ(settings.Values().command.emailFeedback, 1);
  ASSERT_EQ(platform::LoadProfile(dir / "NEXUM2.INI", &doc), 0);
  EXPECT_EQ(doc.Get("Command", "Delay").value_or("missing"), "0");
}

// The old files go only once their values are in NEXUM2.INI: a save that fails keeps them for
// the next load.
TEST_F(SettingsFixture, OldFilesStayWhenTheirValuesCannotBeSaved) {
  Write("COMMAND/COMMAND.INI", "[Settings]\r\nDelay=30\r\nAdminAddress=ops@example.test\r\n");
  Write("KALDOR.INI", "[Kaldor]\r\nadmlevel=2\r\nadmdelay=60\r\n");
  ASSERT_EQ(platform::MakeDirectory(dir / "NEXUM2.INI"), 0);  // no file can replace it
  EXPECT_NE(settings.LoadCommand(), 0);
  EXPECT_NE(settings.LoadKaldor(), 0);
  EXPECT_TRUE(platform::FileExists(dir / "COMMAND/COMMAND.INI"));
  EXPECT_TRUE(platform::FileExists(dir / "KALDOR.INI"));
  // Once NEXUM2.INI can be written, the next load migrates them.
  ASSERT_TRUE(std::filesystem::remove(dir / "NEXUM2.INI"));
  ASSERT_EQ(settings.LoadCommand(), 0);
  ASSERT_EQ(settings.LoadKaldor(), 0);
  EXPECT_EQ(settings.Values().command.delay, 30);
  EXPECT_EQ(settings.Values().kaldor.admDelay, 60);
  EXPECT_FALSE(platform::FileExists(dir / "COMMAND/COMMAND.INI"));
  EXPECT_FALSE(platform::FileExists(dir / "KALDOR.INI"));
}

TEST_F(SettingsFixture, SaveThenLoadGivesBackEveryGroup) {
  SettingsValues& v = settings.MutableValues();
  v.smtp.domain = "example.test";
  v.smtp.localName = "mx.example.test";
  v.smtp.smtpPort = 2525;
  v.smtp.bakCmd = "/usr/local/bin/backup.sh";
  v.schedule.times = {480, 1050};
  v.schedule.schedule = FormatScheduleTimes(v.schedule.times);
  v.schedule.saterday = 1;
  v.dns.server1 = "127.0.0.53";
  v.firewall.maxMsgSize = 3000000000L;
  v.firewall.smartTo = "spam@example.test";
  v.command.delay = 15;
  v.kaldor.webRoot = "/webmail";
  v.domainRecords = {"example.test:a", "other.test:b"};
  int told = 0;
  settings.OnTellPeer([&](int code) { told = code; });
  ASSERT_EQ(settings.SaveAll(), 0);
  EXPECT_EQ(told, kReloadAll);
  // The stored PostMaster key is never what the server uses.
  ASSERT_EQ(platform::WriteProfileString(dir / "NEXUM2.INI", "SMTP", "PostMaster", "x@y.test"), 0);

  CMessageSink sink2(dir / "message.log", nullptr);
  CRecordingOwners owners2;
  CSettings fresh(sink2, &owners2);
  fresh.SetHome(dir.path());
  ASSERT_EQ(fresh.LoadAll(), 0);
  const SettingsValues& w = fresh.Values();
  EXPECT_EQ(w.smtp.localName, "mx.example.test");
  EXPECT_EQ(w.smtp.postmaster, "master@example.test");
  EXPECT_EQ(w.smtp.smtpPort, 2525);
  EXPECT_EQ(w.smtp.bakCmd, "/usr/local/bin/backup.sh");
  EXPECT_EQ(w.schedule.times, v.schedule.times);
  EXPECT_EQ(w.schedule.saterday, 1);
  EXPECT_EQ(w.dns.server1, "127.0.0.53");
  EXPECT_EQ(w.firewall.maxMsgSize, 3000000000L);
  EXPECT_EQ(w.firewall.smartTo, "spam@example.test");
  EXPECT_EQ(w.command.delay, 15);
  EXPECT_EQ(w.kaldor.webRoot, "/webmail");
  EXPECT_EQ(w.domainRecords, v.domainRecords);
  // The domain table gets the records from the last key down.
  EXPECT_EQ(owners2.domains, (std::vector<std::string>{"other.test:b", "example.test:a"}));

  // Fewer records: stale keys are removed.
  settings.MutableValues().domainRecords = {"only.test:c"};
  ASSERT_EQ(settings.SaveDomains(), 0);
  EXPECT_EQ(platform::GetProfileString(dir / "NEXUM2.INI", "Domain", "1", "gone"), "gone");
}

TEST_F(SettingsFixture, ReloadLoadsOneGroupAndLogsTheResult) {
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=a.test\r\n[DNS]\r\nport=53\r\n");
  ASSERT_EQ(settings.LoadAll(), 0);
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=b.test\r\n[DNS]\r\nport=5353\r\n");
  EXPECT_EQ(settings.Reload(kReloadDns), 0);
  EXPECT_EQ(settings.Values().dns.port, 5353);
  EXPECT_EQ(settings.Values().smtp.domain, "a.test");  // only the DNS group was read
  EXPECT_EQ(settings.Reload(kReloadSmtp), 0);
  EXPECT_EQ(settings.Values().smtp.domain, "b.test");
  owners.calls.clear();
  EXPECT_EQ(settings.Reload(kReloadAccounts), 0);
  EXPECT_EQ(settings.Reload(kReloadFirewallRules), 0);
  EXPECT_EQ(settings.Reload(kReloadModem), 0);
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"accounts", "firewall-rules", "modem"}));
  EXPECT_EQ(settings.Reload(1001), kReloadUnknown);
  std::string log = ReadText(dir / "message.log");
  EXPECT_NE(log.find("   OK: OnServiceReload(1003) => 0\r\n"), std::string::npos);
  EXPECT_NE(log.find("ERROR: OnServiceReload(1001) => -999\r\n"), std::string::npos);
  settings.SetReportReloads(false);
  EXPECT_EQ(settings.Reload(kReloadKaldor), 0);
  EXPECT_EQ(ReadText(dir / "message.log").find("OnServiceReload(1010)"), std::string::npos);
}

TEST_F(SettingsFixture, ARefusedLockLeavesThePreviousValues) {
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=a.test\r\n");
  ASSERT_EQ(settings.LoadSmtp(), 0);
  Write("NEXUM2.INI", "[SMTP]\r\nDomain=b.test\r\n");
  settings.Nexum().SetRetryForTest(1, 1);
  platform::CLockFile held;
  ASSERT_EQ(held.TryAcquire(dir / "NEXUM2.LCK"), platform::LockAttempt::kHeld);
  EXPECT_EQ(settings.LoadSmtp(), -1);  // no operator: the question is answered No
  EXPECT_EQ(settings.Values().smtp.domain, "a.test");
  held.Release();
  EXPECT_EQ(settings.LoadSmtp(), 0);
  EXPECT_EQ(settings.Values().smtp.domain, "b.test");
}

}  // namespace
}  // namespace core
