#include "store/message_text.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

std::tm At(int wday, int mday, int mon, int year, int h, int m, int s) {
  std::tm t{};
  t.tm_wday = wday;
  t.tm_mday = mday;
  t.tm_mon = mon;
  t.tm_year = year - 1900;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  return t;
}

TEST(DateHeaderTest, ZoneSignFollowsTheStandardOffset) {
  std::tm t = At(0, 5, 11, 2021, 9, 5, 7);  // Sunday 5 December 2021
  EXPECT_EQ(FormatDateHeader(t, -3600), "Sun, 5 Dec 2021 09:05:07 +0100");
  EXPECT_EQ(FormatDateHeader(t, 5 * 3600), "Sun, 5 Dec 2021 09:05:07 -0500");
  EXPECT_EQ(FormatDateHeader(t, 0), "Sun, 5 Dec 2021 09:05:07 +0000");
  EXPECT_EQ(FormatDateHeader(t, -(5 * 3600 + 1800)), "Sun, 5 Dec 2021 09:05:07 +0530");
  EXPECT_EQ(FormatDateHeader().size() >= 29, true);
}

TEST(BoundaryTest, NumbersAreUnpaddedAndTheDefaultPrefixDoublesTheHyphen) {
  std::tm t = At(1, 6, 0, 2027, 8, 3, 9);
  EXPECT_EQ(MakeBoundary(t, 42, nullptr), "Kestrum-Works--202716-83942");
  EXPECT_EQ(MakeBoundary(t, 5, "Kestrum-Works"), "Kestrum-Works-202716-8395");
  EXPECT_EQ(MakeBoundary().rfind("Kestrum-Works--", 0), 0u);
}

TEST(SplitAddressTest, AngleBracketsQuotesAndBareAddresses) {
  struct Case {
    const char* text;
    const char* local;
    const char* domain;
  } cases[] = {
      {"\"Smith <the boss>\" <boss@example.test>", "boss", "example.test"},
      {"Alice <alice@example.test>", "alice", "example.test"},
      {"To: someone bob@example.test", "bob", "example.test"},
      {"bob@example.test\r\n", "bob", "example.test"},
      {"postmaster", "postmaster", ""},
      {"<>", "", ""},
      {"  <  carol@example.test>", "carol", "example.test"},
      {"\tdave@[127.0.0.1]", "dave", "[127.0.0.1]"},
  };
  for (const Case& c : cases) {
    SplitResult r = SplitAddress(c.text);
    EXPECT_EQ(r.local, c.local) << c.text;
    EXPECT_EQ(r.domain, c.domain) << c.text;
  }
  SplitResult longOne = SplitAddress(std::string(300, 'a') + "@" + std::string(300, 'b'));
  EXPECT_EQ(longOne.local.size(), kMaxAddressPart);
  EXPECT_EQ(longOne.domain.size(), kMaxAddressPart);
}

TEST(CopyMessageTest, OverriddenHeadersBecomeXHeadersAndNewOnesCloseTheHeader) {
  CTempDir dir;
  ASSERT_EQ(platform::WriteFileAtomic(
                dir / "in", "X-IStatus:00000000000000000003\r\nReceived: from x\r\n\tby y\r\n"
                            "Date: old\r\nSubject: s\r\n\r\nbody line\r\nDate: not a header\r\n"),
            0);
  MessageOverrides o;
  o.messageId = "<1.2@mail.example.test>";
  o.date = "Sun, 5 Dec 2021 09:05:07 +0100";
  o.addFrom = true;
  o.addApparentlyTo = true;
  ASSERT_EQ(CopyMessageWithOverrides(dir / "in", dir / "out", &o, "bob@example.test",
                                     "alice@example.test"),
            0);
  std::string out;
  ASSERT_EQ(platform::ReadWholeFile(dir / "out", &out), 0);
  EXPECT_EQ(out,
            "X-IStatus:00000000000000000003\r\nReceived: from x\r\n\tby y\r\nX-Date: old\r\n"
            "Subject: s\r\nFrom: alice@example.test\r\nApparently-To: bob@example.test\r\n"
            "Message-Id: <1.2@mail.example.test>\r\nDate: Sun, 5 Dec 2021 09:05:07 +0100\r\n\r\n"
            "body line\r\nDate: not a header\r\n");

  // Without overrides: a plain copy; a message that is all header still gets its new lines.
  ASSERT_EQ(CopyMessageWithOverrides(dir / "in", dir / "plain", nullptr, "", ""), 0);
  std::string in, plain;
  ASSERT_EQ(platform::ReadWholeFile(dir / "in", &in), 0);
  ASSERT_EQ(platform::ReadWholeFile(dir / "plain", &plain), 0);
  EXPECT_EQ(plain, in);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "headonly", "Subject: s\r\n"), 0);
  MessageOverrides idOnly;
  idOnly.messageId = "<9@x>";
  ASSERT_EQ(CopyMessageWithOverrides(dir / "headonly", dir / "out2", &idOnly, "", ""), 0);
  ASSERT_EQ(platform::ReadWholeFile(dir / "out2", &out), 0);
  EXPECT_EQ(out, "Subject: s\r\nMessage-Id: <9@x>\r\n\r\n");
  EXPECT_NE(CopyMessageWithOverrides(dir / "missing", dir / "out3", nullptr, "", ""), 0);
}

// Lines longer than any buffer (here 1.5 MiB) are copied byte for byte, in the header and in the
// body, with and without overrides; the header rules still apply to the line's start.
TEST(CopyMessageTest, LinesOfAnyLengthAreCopiedWhole) {
  CTempDir dir;
  const std::string longValue(1536 * 1024, 'v'), longBody(1536 * 1024 + 3, 'w');
  std::string in = "X-Long: " + longValue + "\r\nTo: a@b.test,\r\n " + longValue +
                   "\r\nSubject: s\r\n\r\n" + longBody + "\r\nend\r\n";
  ASSERT_EQ(platform::WriteFileAtomic(dir / "in", in), 0);
  ASSERT_EQ(CopyMessageWithOverrides(dir / "in", dir / "plain", nullptr, "", ""), 0);
  std::string out;
  ASSERT_EQ(platform::ReadWholeFile(dir / "plain", &out), 0);
  EXPECT_TRUE(out == in) << "plain copy differs; sizes " << out.size() << " " << in.size();
  MessageOverrides o;
  o.addApparentlyTo = true;  // To: becomes X-To:, its long continuation line goes with it
  ASSERT_EQ(CopyMessageWithOverrides(dir / "in", dir / "over", &o, "r@x.test", ""), 0);
  ASSERT_EQ(platform::ReadWholeFile(dir / "over", &out), 0);
  std::string expected = "X-Long: " + longValue +
                         "\r\nX-To: a@b.test,\r\nSubject: s\r\nApparently-To: r@x.test\r\n\r\n" +
                         longBody + "\r\nend\r\n";
  EXPECT_TRUE(out == expected) << "copy with overrides differs; sizes " << out.size() << " "
                               << expected.size();
}

}  // namespace
}  // namespace store
