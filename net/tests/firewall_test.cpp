#include "net/firewall.h"

#include <gtest/gtest.h>

#include "core/log_set.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "platform/fs.h"
#include "store/domain_table.h"
#include "testing/temp_dir.h"

namespace net {
namespace {

using testing_support::CTempDir;

TEST(FirewallPatternTest, TheFourFormsAndTheirCaseRules) {
  // Trailing star: a prefix, without case.
  EXPECT_TRUE(MatchPattern("123.123.123.7", "123.123.123.*"));
  EXPECT_FALSE(MatchPattern("123.123.124.7", "123.123.123.*"));
  EXPECT_TRUE(MatchPattern("Mail.Example.TEST", "mail.example.*"));
  // Leading star: a suffix, without case, and the text must be longer than the rest.
  EXPECT_TRUE(MatchPattern("host.EXAMPLE", "*.example"));
  EXPECT_FALSE(MatchPattern(".example", "*.example"));
  EXPECT_FALSE(MatchPattern("example", "*.example"));
  // Stars on both sides: a substring, with case.
  EXPECT_TRUE(MatchPattern("cheap spam here", "*spam*"));
  EXPECT_FALSE(MatchPattern("cheap SPAM here", "*spam*"));
  // "*" alone, and "**": everything.
  EXPECT_TRUE(MatchPattern("", "*"));
  EXPECT_TRUE(MatchPattern("anything", "*"));
  EXPECT_TRUE(MatchPattern("x", "**"));
  // No star: equality without case, over the whole of both.
  EXPECT_TRUE(MatchPattern("Spammer@Far.Test", "spammer@far.test"));
  EXPECT_FALSE(MatchPattern("spammer@far.test.x", "spammer@far.test"));
  EXPECT_FALSE(MatchPattern("spammer@far.tes", "spammer@far.test"));
  // Patterns count up to 128 characters: a longer one loses its tail (and its closing star).
  std::string longPattern = "*" + std::string(200, 'a') + "*";
  EXPECT_TRUE(MatchPattern(std::string(300, 'a'), longPattern));
  EXPECT_FALSE(MatchList("x", {}));
  EXPECT_TRUE(MatchList("10.1.2.3", {"192.168.*", "10.*"}));
}

TEST(FirewallFileTest, SectionsCommentsAndTheDefaultAcceptBlock) {
  CTempDir dir;
  std::string path = dir / "FIREWALL.CFG";
  CFirewallRules rules;
  EXPECT_NE(rules.Load(path), 0);  // missing: an error, the lists stay empty
  EXPECT_TRUE((*rules.Snapshot())[kAcceptHostIp].empty());

  ASSERT_EQ(platform::WriteFileAtomic(path,
                                      "ignored before any section\r\n"
                                      "[smtp_ip]\r\n"
                                      "  10.0.0.*  \r\n"
                                      "# a comment\r\n"
                                      "; another\r\n"
                                      "\t\r\n"
                                      "[NOT_A_SECTION]\r\n"
                                      "[SMTP_IP]\r\n"
                                      "10.9.9.9\r\n"
                                      "[Header_Subject]\r\n"
                                      "*viagra*\r\n"),
            0);
  ASSERT_EQ(rules.Load(path), 0);
  auto lists = rules.Snapshot();
  // The second [SMTP_IP] empties the list the first one filled.
  EXPECT_EQ((*lists)[kSmtpIp], (std::vector<std::string>{"10.9.9.9"}));
  EXPECT_EQ((*lists)[kHeaderSubject], (std::vector<std::string>{"*viagra*"}));
  // No [ACCEPT_HOST_IP]: everyone is accepted, and the block is appended to the file.
  EXPECT_EQ((*lists)[kAcceptHostIp], (std::vector<std::string>{"*"}));
  std::string text;
  ASSERT_EQ(platform::ReadWholeFile(path, &text), 0);
  EXPECT_NE(text.find("*viagra*\r\n\r\n[ACCEPT_HOST_IP]\r\n#Firewall client IP checking\r\n"),
            std::string::npos);
  // Loaded again, the appended block is read as written: "*" and 127.0.0.1, appended once.
  ASSERT_EQ(rules.Load(path), 0);
  EXPECT_EQ((*rules.Snapshot())[kAcceptHostIp], (std::vector<std::string>{"*", "127.0.0.1"}));
  std::string again;
  ASSERT_EQ(platform::ReadWholeFile(path, &again), 0);
  EXPECT_EQ(again, text);
  // A bracketed line that is no section is an ordinary pattern of the current list.
  FirewallLists parsed;
  EXPECT_FALSE(ParseFirewallText("[SMTP_FROM]\n[x]\n", &parsed));
  EXPECT_EQ(parsed[kSmtpFrom], (std::vector<std::string>{"[x]"}));
  // The snapshot a session holds is not changed by a later load.
  EXPECT_EQ((*lists)[kAcceptHostIp], (std::vector<std::string>{"*"}));
}

struct FirewallSessionFixture : ::testing::Test {
  FirewallSessionFixture() : sink(dir / "message.log", nullptr), settings(sink, nullptr), logs(settings) {
    settings.SetHome(dir.path());
    core::SettingsValues& v = settings.MutableValues();
    v.smtp.domain = "example.test";
    v.smtp.postmaster = "master@example.test";
    v.firewall.smartTo = "guard@example.test";
    v.firewall.lowLogging = 1;
    v.firewall.spamLog = 1;
    v.firewall.smtpLog = 1;
    v.firewall.maxMsgSize = 500;
    settings.Publish();
    logs.SetHome(dir.path());
    store::DomainSnapshot d;
    d.ownDomain = "example.test";
    d.records.push_back(store::ParseDomainRecord("partner.test:mx.partner.test:partner_test.000::25:1:0:2000:0"));
    d.records.push_back(store::ParseDomainRecord("open.test:mx.open.test:open_test.000::25:1:0:0:0"));
    domains.Load(dir.path(), d);
    EXPECT_EQ(platform::WriteFileAtomic(dir / "FIREWALL.CFG",
                                        "[ACCEPT_HOST_IP]\r\n127.0.0.*\r\n[SMTP_IP]\r\n10.6.6.6\r\n"
                                        "[Header_To]\r\n*victim*\r\n"),
              0);
    EXPECT_EQ(rules.Load(dir / "FIREWALL.CFG"), 0);
    context.settings = &settings;
    context.logs = &logs;
    context.domains = &domains;
    context.rules = &rules;
    context.home = dir.path();
    context.product = "Varnel";
    context.version = "V1";
    context.queueFileMessage = [this](const std::string& to, const std::string& subject,
                                      const std::string& file, const std::string& from, long limit) {
      std::string text;
      EXPECT_EQ(platform::ReadWholeFile(file, &text), 0);
      queued.push_back(to + "|" + subject + "|" + from + "|" + std::to_string(limit) + "|" + text);
      return 0;
    };
    context.freeDiskSpace = [this](const std::string&) { return freeBytes; };
  }
  CTempDir dir;
  core::CMessageSink sink;
  core::CSettings settings;
  core::CLogSet logs;
  store::CDomainTable domains;
  CFirewallRules rules;
  FirewallContext context;
  std::vector<std::string> queued;
  int64_t freeBytes = 10'000'000'000;
};

TEST_F(FirewallSessionFixture, ClientsAreTrustedOrRefusedByTheirAddress) {
  bool host = false, accepted = false;
  EXPECT_TRUE(CFirewallSession(context, "127.0.0.5").HostAllowed("127.0.0.5", &host, &accepted));
  EXPECT_TRUE(host && accepted);
  EXPECT_TRUE(CFirewallSession(context, "10.1.1.1").HostAllowed("10.1.1.1", &host, &accepted));
  EXPECT_FALSE(host || accepted);
  EXPECT_FALSE(CFirewallSession(context, "10.6.6.6").HostAllowed("10.6.6.6", &host, &accepted));
  // Without the accept list every client passes the host check, none is trusted.
  settings.MutableValues().firewall.spamLog = 0;
  settings.Publish();
  EXPECT_TRUE(CFirewallSession(context, "10.1.1.1").HostAllowed("10.1.1.1", &host, &accepted));
  EXPECT_TRUE(host);
  EXPECT_FALSE(accepted);
  std::string log;
  ASSERT_EQ(platform::ReadWholeFile(dir / "firewall.log", &log), 0);
  EXPECT_NE(log.find("127.0.0.5: **** Varnel V1 ****"), std::string::npos);
  EXPECT_NE(log.find("127.0.0.5: IP accept  host [127.0.0.5]"), std::string::npos);
  EXPECT_NE(log.find("10.1.1.1: IP unknown host [10.1.1.1]"), std::string::npos);
  EXPECT_NE(log.find("10.6.6.6: Reject SMTP IP address: 10.6.6.6"), std::string::npos);
  std::string what;
  CFirewallSession s(context, "1.2.3.4");
  EXPECT_TRUE(s.HeaderRejected("To:", "the victim <v@x>", &what));
  EXPECT_EQ(what, "  To:");
  EXPECT_FALSE(s.HeaderRejected("From:", "the victim <v@x>", &what));
}

TEST_F(FirewallSessionFixture, SizeLimitsFromDomainsTheSettingAndTheFreeDisk) {
  CFirewallSession s(context, "1.2.3.4");
  EXPECT_EQ(s.RaiseSizeLimit(-1, "example.test"), 500);   // no record: MaxMsgSize
  EXPECT_EQ(s.RaiseSizeLimit(500, "partner.test"), 2000); // the larger of the two
  EXPECT_EQ(s.RaiseSizeLimit(2000, "example.test"), 2000);
  EXPECT_EQ(s.RaiseSizeLimit(2000, "open.test"), 0);      // a domain without limit lifts it
  EXPECT_EQ(s.RaiseSizeLimit(0, "partner.test"), 0);      // and it stays lifted
  EXPECT_EQ(s.RaiseSizeLimit(-1, "far.test"), 500);       // unrouted, no default route record
  // A record serving the default queue: its limit applies to unrouted domains only.
  store::DomainSnapshot withHub = *domains.Snapshot();
  withHub.records.push_back(store::ParseDomainRecord("hub.test:relay.test:MAILHUB::25:1:0:3000:0"));
  domains.Load(dir.path(), withHub);
  EXPECT_EQ(s.RaiseSizeLimit(-1, "far.test"), 3000);
  EXPECT_EQ(s.RaiseSizeLimit(4000, "far.test"), 4000);    // it only raises
  EXPECT_EQ(s.RaiseSizeLimit(-1, "example.test"), 500);   // local: not by the default route
  EXPECT_EQ(s.RaiseSizeLimit(-1, "partner.test"), 2000);  // routed: its own record
  withHub.records.back() = store::ParseDomainRecord("hub.test:relay.test:MailHub::25:1:0:0:0");
  domains.Load(dir.path(), withHub);
  EXPECT_EQ(s.RaiseSizeLimit(-1, "far.test"), 0);         // 0 on the default route lifts it
  withHub.records.pop_back();
  domains.Load(dir.path(), withHub);
  // Keeping 1,000 Kbytes free of 3,500 caps every limit at 2,500 (units of 1000 bytes).
  settings.MutableValues().firewall.minDiskSpace = 1000;
  settings.Publish();
  freeBytes = 3'500'000;
  CFirewallSession d(context, "1.2.3.4");
  EXPECT_EQ(d.RaiseSizeLimit(-1, "example.test"), 500);
  EXPECT_EQ(d.RaiseSizeLimit(500, "open.test"), 2500);
  EXPECT_EQ(d.RaiseSizeLimit(500, "partner.test"), 2000);
  freeBytes = 500'000;  // below the reserve: the cap is 1 Kbyte, never 0 (unlimited)
  CFirewallSession full(context, "1.2.3.4");
  EXPECT_EQ(full.RaiseSizeLimit(-1, "partner.test"), 1);
}

TEST_F(FirewallSessionFixture, AStoppedMessageIsRedirectedReportedAndLoggedWithItsReasons) {
  std::string message = dir / "M0000001.TMP", envelope = dir / "R0000001.TMP";
  ASSERT_EQ(platform::WriteFileAtomic(message, "X-IStatus:00000000000000000003\r\nFrom: x@far.test\r\n"
                                               "Subject: hi\r\n\r\nthe body stays out\r\n"),
            0);
  ASSERT_EQ(platform::WriteFileAtomic(envelope, ""), 0);
  settings.MutableValues().firewall.sendReport = 1;
  settings.Publish();
  SmtpMessageFacts facts;
  facts.messagePath = message;
  facts.envelopePath = envelope;
  facts.sender = "x@far.test";
  facts.xSender = "xs@far.test";
  facts.logSender = "x@far.test\r\n";
  facts.logRecipient = "y@nowhere.test";
  CFirewallSession s(context, "10.1.1.1");
  facts.accepted = true;
  EXPECT_FALSE(s.StopMessage(facts));  // something was known: it passes
  facts.accepted = false;
  ASSERT_TRUE(s.StopMessage(facts));
  ASSERT_EQ(queued.size(), 2u);
  std::string header = "X-IStatus:00000000000000000003\r\nFrom: x@far.test\r\nSubject: hi\r\n\r\n";
  EXPECT_EQ(queued[0], "guard@example.test|[Varnel] Firewall stopped this message.|guard@example.test|2500|" + header);
  EXPECT_EQ(queued[1], "xs@far.test|[Varnel] Firewall stopped this message.|master@example.test|2500|" + header);
  EXPECT_FALSE(platform::FileExists(envelope));  // the copy is gone
  std::string log;
  ASSERT_EQ(platform::ReadWholeFile(dir / "firewall.log", &log), 0);
  EXPECT_NE(log.find("Do not accept message from=x@far.test to=y@nowhere.test. IP-Client! RCPT! From:!\r\n"),
            std::string::npos);
  // With the smart check off nothing is stopped.
  settings.MutableValues().firewall.smtpSmartLog = 0;
  settings.Publish();
  EXPECT_FALSE(CFirewallSession(context, "10.1.1.1").StopMessage(facts));
}

}  // namespace
}  // namespace net
