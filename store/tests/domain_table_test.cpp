#include "store/domain_table.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

TEST(DomainRecordTest, ParseFillsDefaultsAndFormatRoundTrips) {
  DomainRecord r = ParseDomainRecord("partner.test:mx.partner.test:partner_test.000");
  EXPECT_EQ(r.route, "mx.partner.test");
  EXPECT_EQ(r.port, 25u);
  EXPECT_EQ(r.timerRuns, 1);
  EXPECT_EQ(r.held, 0);
  std::string line = "a.test:[local]::*:0:0:1:2048:1";
  EXPECT_EQ(FormatDomainRecord(ParseDomainRecord(line)), line);
  EXPECT_EQ(ParseDomainRecord(line).sizeLimit, 2048);
}

TEST(DomainTableTest, LocalDomainsAndRoutes) {
  CTempDir home;
  DomainSnapshot s;
  s.ownDomain = "example.test";
  s.localName = "mail.example.test";
  s.records = {ParseDomainRecord("other.test:[Local]:"),
               ParseDomainRecord("uu.test:[uucp]:"),
               ParseDomainRecord("partner.test:mx.partner.test:partner_test.000"),
               ParseDomainRecord("gone.test:[local]:")};
  s.records[3].deleted = true;
  CDomainTable table;
  table.Load(home.path(), s);
  EXPECT_TRUE(platform::DirectoryExists(home / "OUTQUEUE/partner_test.000"));

  EXPECT_TRUE(table.IsLocalDomain(""));
  EXPECT_TRUE(table.IsLocalDomain("EXAMPLE.test"));
  EXPECT_TRUE(table.IsLocalDomain("[uucp]"));
  EXPECT_TRUE(table.IsLocalDomain("other.TEST"));
  EXPECT_FALSE(table.IsLocalDomain("partner.test"));
  EXPECT_FALSE(table.IsLocalDomain("gone.test"));
  EXPECT_FALSE(table.IsLocalDomain("unknown.test"));

  std::string out;
  EXPECT_EQ(table.RouteDomain("example.test", &out), 0);
  EXPECT_EQ(out, "[local]");
  EXPECT_EQ(table.RouteDomain("uu.test", &out), 0);
  EXPECT_EQ(out, "[uucp]");
  EXPECT_EQ(table.RouteDomain("Partner.Test", &out), 0);
  EXPECT_EQ(out, "partner_test.000");
  EXPECT_EQ(table.RouteDomain("unknown.test", &out), 1);
  EXPECT_EQ(out, "MailHub");
  s.uucpTakesUnknown = true;
  table.Load(home.path(), s);
  EXPECT_EQ(table.RouteDomain("unknown.test", &out), 1);
  EXPECT_EQ(out, "[uucp]");

  std::string a = table.MakeMessageId(), b = table.MakeMessageId();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind("<0.", 0), 0u);
  EXPECT_EQ(a.substr(a.size() - 19), "@mail.example.test>");
}

TEST(DomainTableTest, QueueDirectoryNamesAreCutSanitisedAndNumbered) {
  CTempDir home;
  std::string domain = "very-long.sub-domain.example-corp.test";  // 38 characters
  std::string first = CDomainTable::MakeDomainQueueDir(home.path(), domain);
  EXPECT_EQ(first, "very_long_sub_domain_example_cor.000");
  EXPECT_EQ(first.size(), 36u);
  EXPECT_TRUE(platform::DirectoryExists(home / ("OUTQUEUE/" + first)));
  EXPECT_EQ(CDomainTable::MakeDomainQueueDir(home.path(), domain),
            "very_long_sub_domain_example_cor.001");
}

}  // namespace
}  // namespace store
