#include "store/generated_messages.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/path.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/line_file.h"
#include "store/queue_item.h"
#include "testing/temp_dir.h"
#include "toolkit/encodings.h"
#include "toolkit/mime_parser.h"

namespace store {
namespace {

using testing_support::CTempDir;

using testing_support::Read;

struct GeneratedFixture : ::testing::Test {
  GeneratedFixture() {
    EXPECT_EQ(platform::MakeDirectoryTree(home / "INQUEUE"), 0);
    EXPECT_EQ(platform::MakeDirectoryTree(home / "OUTQUEUE/MailHub"), 0);
    DomainSnapshot d;
    d.ownDomain = "example.test";
    d.localName = "mail.example.test";
    domains.Load(home.path(), d);
    CAccountTable t;
    CAccount alice;
    alice.name = "alice";
    alice.AddAlias("alice@example.test");
    CAccount list;
    list.name = "news";
    list.isList = 1;
    list.moderator = "mod@example.test";
    list.AddAlias("news@example.test");
    CAccount mod;
    mod.name = "mod";
    mod.AddAlias("mod@example.test");
    CAccount master;
    master.name = "master";
    t.Accounts() = {master, alice, list, mod};
    accounts.Replace(t);
    ctx.home = home.path();
    ctx.primaryDomain = "example.test";
    ctx.product = "Varnel";
    ctx.domains = &domains;
    ctx.accounts = &accounts;
    ctx.wakeOutbound = [this] { ++woken; };
  }
  // The single complete item of a queue: (message, envelope).
  std::pair<std::string, std::string> Only(const std::string& dir, ItemKind kind) {
    auto items = ListCompleteItems(home / dir, kind);
    EXPECT_EQ(items.size(), 1u);
    if (items.empty()) return {};
    std::string m = platform::JoinPath(home / dir, items[0]);
    return {Read(m), Read(ItemSibling(m, kind == ItemKind::kInbound ? 'R' : 'I'))};
  }
  CTempDir home;
  CDomainTable domains;
  CAccountStore accounts;
  GeneratedContext ctx;
  int woken = 0;
};

TEST_F(GeneratedFixture, UnknownLocalUsersGoToMasterAndRemoteOnesToTheirQueue) {
  ASSERT_EQ(QueueTextMessage(ctx, "nobody@example.test", "", "hello\r\n", "master@example.test"), 0);
  auto [message, envelope] = Only("INQUEUE", ItemKind::kInbound);
  EXPECT_EQ(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound)[0].substr(0, 1), "m");
  EXPECT_NE(envelope.find("[To]\r\nn=1\r\n0=master\r\n"), std::string::npos);
  EXPECT_NE(envelope.find("Subject=(empty)\r\n"), std::string::npos);
  // Header order: Message-Id, Date, From, To, Subject, empty line, text.
  EXPECT_EQ(message.rfind("Message-Id: <0.", 0), 0u);
  size_t date = message.find("\r\nDate: "),
         from = message.find("\r\nFrom: master@example.test\r\n"),
         to = message.find("\r\nTo: master\r\n"),
         subject = message.find(
             "\r\nSubject: Empty subject\r\nAuto-Submitted: auto-generated\r\n\r\nhello\r\n");
  EXPECT_TRUE(date < from && from < to && to < subject && subject != std::string::npos) << message;
  EXPECT_EQ(woken, 0);

  ASSERT_EQ(QueueTextMessage(ctx, "Someone <someone@far.test>", "s", "x", "a!relay!bob"), 0);
  auto [out, outEnvelope] = Only("OUTQUEUE/MailHub", ItemKind::kOutbound);
  EXPECT_NE(outEnvelope.find("From=bob@relay\r\n"), std::string::npos);  // UUCP path converted
  EXPECT_NE(outEnvelope.find("0=someone@far.test\r\n"), std::string::npos);
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(EnvelopeSender("<host1!host2!user> (x)"), "user@host2");
  EXPECT_EQ(EnvelopeSender("plain@example.test"), "plain@example.test");
}

TEST_F(GeneratedFixture, FileMessagesCopyWholeOrHeaderOrUpToALimit) {
  ASSERT_EQ(platform::WriteFileAtomic(home / "orig.txt", "Subject: orig\r\nX: y\r\n\r\nline one\r\nline two\r\n"), 0);
  ASSERT_EQ(QueueFileMessage(ctx, "alice@example.test", "", home / "orig.txt", "master@example.test", 0), 0);
  auto [message, envelope] = Only("INQUEUE", ItemKind::kInbound);
  EXPECT_NE(message.find("Subject: (no subject)\r\nAuto-Submitted: auto-generated\r\n\r\nSubject: "
                         "orig\r\nX: y\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(message.find("line one"), std::string::npos);
  EXPECT_NE(envelope.find("0=alice@example.test\r\n"), std::string::npos);
  EXPECT_EQ(QueueFileMessage(ctx, "alice@example.test", "s", home / "missing.txt", "m@x", -1), kErrOpen);
  EXPECT_EQ(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).size(), 1u);  // nothing half-made
  EXPECT_EQ(platform::FindFiles(home / "INQUEUE", "b*").size(), 0u);
}

TEST_F(GeneratedFixture, FailureReportsReturnTheHeaderAndAboutFifteenHundredCharacters) {
  std::string body;
  for (int i = 0; i < 100; ++i) body += std::string(98, 'a' + i % 26) + "\r\n";  // 10,000 bytes
  ASSERT_EQ(platform::WriteFileAtomic(home / "big.txt", "Subject: big\r\nFrom: x@far.test\r\n\r\n" + body), 0);
  std::vector<FailedRecipient> failed = {{"one@far.test", false, "550 no such user"},
                                         {"two@far.test", true, ""},
                                         {"three@far.test", false, ""}};
  ASSERT_EQ(QueueFailureReport(ctx, "MAILER-DAEMON", "Delivery failed", "alice@example.test", failed,
                               home / "big.txt"),
            0);
  auto [report, envelope] = Only("INQUEUE", ItemKind::kInbound);
  EXPECT_NE(report.find("From: MAILER-DAEMON@example.test\r\n"), std::string::npos);
  EXPECT_NE(report.find("Subject: Delivery failed\r\n"), std::string::npos);
  EXPECT_NE(report.find("Recipient \"one@far.test\" could not be reached.\r\nReason: 550 no such user\r\n"), std::string::npos);
  EXPECT_EQ(report.find("two@far.test"), std::string::npos);  // done: not listed
  EXPECT_NE(report.find("Recipient \"three@far.test\" could not be reached.\r\nReason: Unknown\r\n"), std::string::npos);
  EXPECT_NE(report.find("Subject: big\r\nFrom: x@far.test\r\n\r\n"), std::string::npos);
  EXPECT_NE(report.find("...\r\n... (end of message not returned)\r\n...\r\n"), std::string::npos);
  size_t returned = report.find("...\r\n... (end") - report.find("From: x@far.test\r\n\r\n");
  EXPECT_GT(returned, 1500u);
  EXPECT_LT(returned, 1700u);
  // The report parses as a multipart with the text and the returned message.
  toolkit::MimeMessage parsed;
  ASSERT_EQ(toolkit::ParseMessageText(report, &parsed), 0);
  EXPECT_EQ(parsed.body.children.size(), 2u);
}

TEST_F(GeneratedFixture, ReceiptsToAListGoToItsModeratorAndShortBodiesReturnWhole) {
  ASSERT_EQ(platform::WriteFileAtomic(home / "small.txt", "Subject: s\r\n\r\n" + std::string(1000, 'b') + "\r\n"), 0);
  ASSERT_EQ(QueueReceipt(ctx, "news@example.test", "MAILER-DAEMON", home / "small.txt", "s",
                         "x@far.test", "news@example.test"),
            0);
  auto [receipt, envelope] = Only("INQUEUE", ItemKind::kInbound);
  EXPECT_NE(envelope.find("0=mod@example.test\r\n"), std::string::npos);
  EXPECT_NE(receipt.find("Subject: Receipt notification\r\n"), std::string::npos);
  EXPECT_NE(receipt.find("The attached message has been put in the recipient's mailbox.\r\n"), std::string::npos);
  EXPECT_NE(receipt.find("...\r\n... (end of message not returned)"), std::string::npos);  // 1000 > 512

  CTempDir other;
  ASSERT_EQ(platform::WriteFileAtomic(home / "short.txt", "Subject: s\r\n\r\n" + std::string(1000, 'c') + "\r\n"), 0);
  ASSERT_EQ(QueueFailureReport(ctx, "MAILER-DAEMON", "", "someone@far.test", {}, home / "short.txt"), 0);
  auto [report, env2] = Only("OUTQUEUE/MailHub", ItemKind::kOutbound);
  EXPECT_NE(report.find(std::string(1000, 'c') + "\r\n--"), std::string::npos);  // whole
  EXPECT_EQ(report.find("Recipient \""), std::string::npos);
  EXPECT_NE(report.find("Subject: Empty subject\r\n"), std::string::npos);
}

TEST_F(GeneratedFixture, ValuesFromMessagesNeverStartAHeaderLineOfTheirOwn) {
  ASSERT_EQ(platform::WriteFileAtomic(home / "m.txt", "Subject: x\r\n\r\nbody\r\n"), 0);
  ASSERT_EQ(QueueFileMessage(ctx, "alice@example.test", "Re: hi\r\nBcc: victim@far.test", home / "m.txt",
                             "x@far.test\nX-Injected: 1", -1),
            0);
  auto [message, envelope] = Only("INQUEUE", ItemKind::kInbound);
  EXPECT_NE(message.find("\r\nSubject: Re: hi  Bcc: victim@far.test\r\n"), std::string::npos);
  EXPECT_EQ(message.find("\nBcc:"), std::string::npos);
  EXPECT_EQ(message.find("\nX-Injected"), std::string::npos);
  EXPECT_EQ(envelope.find("\nBcc"), std::string::npos);
  EXPECT_EQ(envelope.find("\nX-Injected"), std::string::npos);
}

TEST_F(GeneratedFixture, LocalDeliveryReportsGoStraightIntoTheNamedMailboxOrMaster) {
  ASSERT_EQ(platform::MakeDirectoryTree(home / "MAILIN/alice"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "uu.txt", "From: a!b!carol\r\nSubject: s\r\n\r\n.line\r\n"), 0);
  ASSERT_EQ(StoreLocalDeliveryReport(ctx, "alice", "zed", home / "uu.txt", 7), 0);
  auto boxed = ListCompleteItems(home / "MAILIN/alice", ItemKind::kMailbox);
  ASSERT_EQ(boxed.size(), 1u);
  EXPECT_EQ(boxed[0], "m0000001.mim");
  std::string report = Read(platform::JoinPath(home / "MAILIN/alice", boxed[0]));
  EXPECT_EQ(
      report.rfind("X-IStatus:00000000000000000000\r\nFrom: LOCAL MAILER DAEMON\r\nTo: alice\r\n"
                   "Subject: Local delivery failed\r\nAuto-Submitted: auto-generated\r\n"
                   "Mime-Version: 1.0\r\nDate: ",
                   0),
      0u);
  EXPECT_NE(report.find("\r\nMessage-ID: <00007"), std::string::npos);
  EXPECT_NE(report.find("Reason: (zed) is an unknown local user\r\n"), std::string::npos);
  toolkit::MimeMessage parsed;
  ASSERT_EQ(toolkit::ParseMessageText(report, &parsed), 0);
  ASSERT_EQ(parsed.body.children.size(), 2u);
  EXPECT_NE(report.find("Content-Type: Message/RFC822\r\n\r\nFrom: a!b!carol\r\nSubject: s\r\n\r\n.line\r\n--"),
            std::string::npos);
  // No such mailbox, or a name that would leave MAILIN: the postmaster's mailbox.
  ASSERT_EQ(StoreLocalDeliveryReport(ctx, "nobody", "zed", home / "uu.txt", 8), 0);
  ASSERT_EQ(StoreLocalDeliveryReport(ctx, "../INQUEUE", "zed", home / "uu.txt", 9), 0);
  EXPECT_EQ(ListCompleteItems(home / "MAILIN/MASTER", ItemKind::kMailbox).size(), 2u);
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
  EXPECT_EQ(StoreLocalDeliveryReport(ctx, "alice", "zed", home / "missing.txt", 10), kErrOpen);
  EXPECT_EQ(ListCompleteItems(home / "MAILIN/alice", ItemKind::kMailbox).size(), 1u);  // nothing partial
}

TEST_F(GeneratedFixture, AttachmentsAreEncodedAndDecodeBack) {
  std::string data;
  for (int i = 0; i < 5000; ++i) data += static_cast<char>(i * 7);
  ASSERT_EQ(platform::WriteFileAtomic(home / "file.bin", data), 0);
  ASSERT_EQ(QueueAttachmentMessage(ctx, "alice@example.test", "your file", "news@example.test",
                                   home / "file.bin", 0, "Here it is.", "rr@example.test"),
            0);
  auto [message, envelope] = Only("INQUEUE", ItemKind::kInbound);
  EXPECT_EQ(message.rfind("X-IStatus:00000000000000000000\r\nX-Mailer:Varnel\r\nMessage-Id: ", 0), 0u);
  EXPECT_NE(message.find("return-receipt-to: rr@example.test\r\nTo: alice@example.test\r\n"), std::string::npos);
  toolkit::MimeMessage parsed;
  ASSERT_EQ(toolkit::ParseMessageText(message, &parsed), 0);
  ASSERT_EQ(parsed.body.children.size(), 2u);
  const toolkit::MimePart& att = parsed.body.children[1];
  EXPECT_EQ(att.encoding, toolkit::kBase64);
  EXPECT_EQ(att.fileName, "file.bin");
  toolkit::CBase64Decoder d;
  std::string back;
  d.Decode(std::string_view(message).substr(att.begin, att.end - att.begin), &back);
  EXPECT_EQ(d.Finish(&back), 0);
  EXPECT_EQ(back, data);
  EXPECT_TRUE(platform::FindFiles(home / "INQUEUE", "*.att").empty());
}

// Without a postmaster account a message for an unknown local user has nowhere to go: it is not
// queued (it would come back as a notice about itself), and nothing is left half-made.
TEST_F(GeneratedFixture, WithoutAPostmasterAccountUnknownLocalUsersGetNothingQueued) {
  CAccountTable t = *accounts.Snapshot();
  t.Accounts().erase(t.Accounts().begin());  // master
  accounts.Replace(t);
  ASSERT_EQ(platform::WriteFileAtomic(home / "m.txt", "Subject: x\r\n\r\nbody\r\n"), 0);
  EXPECT_EQ(QueueFileMessage(ctx, "master", "[MAILER-DAEMON] Invalid local address [x]",
                             home / "m.txt", "s@far.test", -1),
            -1);
  EXPECT_EQ(QueueTextMessage(ctx, "nobody@example.test", "s", "t", "s@far.test"), -1);
  EXPECT_EQ(platform::FindFiles(home / "INQUEUE", "*.tmp"), std::vector<std::string>{});
  // Known local users and remote ones are served as before.
  EXPECT_EQ(QueueTextMessage(ctx, "alice@example.test", "s", "t", "s@far.test"), 0);
  EXPECT_EQ(QueueTextMessage(ctx, "x@far.test", "s", "t", "s@far.test"), 0);
}

// Every server-made message says that a program wrote it (RFC 3834 section 5), right after its
// Subject: answers "auto-replied", the rest "auto-generated".
TEST_F(GeneratedFixture, EveryWriterMarksItsMessageAutoSubmitted) {
  ASSERT_EQ(platform::WriteFileAtomic(home / "m.txt", "Subject: x\r\n\r\nbody\r\n"), 0);
  ASSERT_EQ(QueueFileMessage(ctx, "alice@example.test", "Re: x", home / "m.txt", "a@example.test",
                             -1, AutoSubmitted::kReplied),
            0);
  ASSERT_EQ(QueueTextMessage(ctx, "alice@example.test", "warn", "t", "master@example.test"), 0);
  ASSERT_EQ(QueueReceipt(ctx, "alice@example.test", "MAILER-DAEMON", home / "m.txt", "x",
                         "s@far.test", "b@example.test"),
            0);
  ASSERT_EQ(QueueFailureReport(ctx, "MAILER-DAEMON", "Delivery failed", "alice@example.test", {},
                               home / "m.txt"),
            0);
  ASSERT_EQ(QueueAttachmentMessage(ctx, "alice@example.test", "file", "news@example.test",
                                   home / "m.txt", 4, "", ""),
            0);
  std::vector<std::string> texts;
  for (const std::string& n : ListCompleteItems(home / "INQUEUE", ItemKind::kInbound)) {
    texts.push_back(Read(platform::JoinPath(home / "INQUEUE", n)));
  }
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_NE(texts[0].find("\r\nSubject: Re: x\r\nAuto-Submitted: auto-replied\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(texts[1].find("\r\nSubject: warn\r\nAuto-Submitted: auto-generated\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(
      texts[2].find(
          "\r\nSubject: Receipt notification\r\nAuto-Submitted: auto-replied\r\nContent-Type"),
      std::string::npos);
  EXPECT_NE(texts[3].find(
                "\r\nSubject: Delivery failed\r\nAuto-Submitted: auto-generated\r\nContent-Type"),
            std::string::npos);
  EXPECT_NE(
      texts[4].find("\r\nSubject: file\r\nAuto-Submitted: auto-generated\r\nMime-Version:1.0"),
      std::string::npos);
  for (const std::string& text : texts) {
    toolkit::MimeMessage parsed;  // still one header block that parses
    EXPECT_EQ(toolkit::ParseMessageText(text, &parsed), 0);
  }
}

// A uuencoded (or plain) attachment whose encoder writes LF lines is stored with CR LF lines:
// no bare LF anywhere in the message, and the data decodes back.
TEST_F(GeneratedFixture, AttachmentsHaveNoBareLineFeeds) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += static_cast<char>(i * 13 + 1);
  ASSERT_EQ(platform::WriteFileAtomic(home / "file.bin", data), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "notes.txt", "one\ntwo\r\nthree\n"), 0);
  ASSERT_EQ(QueueAttachmentMessage(ctx, "alice@example.test", "uu", "news@example.test",
                                   home / "file.bin", kAttachUuencode, "text", ""),
            0);
  auto [message, envelope] = Only("INQUEUE", ItemKind::kInbound);
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\n') {
      ASSERT_TRUE(i > 0 && message[i - 1] == '\r') << "bare LF at " << i;
    }
  }
  size_t begin = message.find("\r\nbegin 644 file.bin\r\n");
  ASSERT_NE(begin, std::string::npos);
  EXPECT_NE(message.find("\r\n`\r\nend\r\n\r\n--", begin), std::string::npos);
  std::string back, name;
  ASSERT_EQ(toolkit::Uudecode(message.substr(begin + 2), &back, &name), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(name, "file.bin");

  CTempDir other;
  GeneratedContext plain = ctx;
  plain.home = other.path();
  ASSERT_EQ(platform::MakeDirectoryTree(other / "INQUEUE"), 0);
  ASSERT_EQ(QueueAttachmentMessage(plain, "alice@example.test", "txt", "news@example.test",
                                   home / "notes.txt", kAttachPlain, "", ""),
            0);
  auto items = ListCompleteItems(other / "INQUEUE", ItemKind::kInbound);
  ASSERT_EQ(items.size(), 1u);
  std::string text = Read(platform::JoinPath(other / "INQUEUE", items[0]));
  EXPECT_NE(text.find("\r\n\r\none\r\ntwo\r\nthree\r\n\r\n--"),
            std::string::npos);  // CR LF kept once
}

// Lines of any length are included whole; the limits count whole lines.
TEST_F(GeneratedFixture, IncludedLinesLongerThanAMebibyteArriveWhole) {
  const std::string longLine(1536 * 1024 + 7, 'L');
  ASSERT_EQ(platform::WriteFileAtomic(home / "long.txt",
                                      "Subject: long\r\n\r\n" + longLine + "\r\nafter\r\n"),
            0);
  ASSERT_EQ(
      QueueFileMessage(ctx, "alice@example.test", "s", home / "long.txt", "a@example.test", -1), 0);
  auto [message, envelope] = Only("INQUEUE", ItemKind::kInbound);
  EXPECT_NE(message.find("\r\n\r\nSubject: long\r\n\r\n" + longLine + "\r\nafter\r\n"),
            std::string::npos);
  // A failure report stops after the line that passes its limit: the long line whole, then the
  // closing lines, and not the line after it.
  CTempDir other;
  GeneratedContext second = ctx;
  second.home = other.path();
  ASSERT_EQ(platform::MakeDirectoryTree(other / "INQUEUE"), 0);
  ASSERT_EQ(
      QueueFailureReport(second, "MAILER-DAEMON", "f", "alice@example.test", {}, home / "long.txt"),
      0);
  auto items = ListCompleteItems(other / "INQUEUE", ItemKind::kInbound);
  ASSERT_EQ(items.size(), 1u);
  std::string report = Read(platform::JoinPath(other / "INQUEUE", items[0]));
  EXPECT_NE(report.find("\r\n\r\n" + longLine + "\r\n...\r\n... (end of message not returned)\r\n"),
            std::string::npos);
  EXPECT_EQ(report.find("after"), std::string::npos);
}

}  // namespace
}  // namespace store
