// Inbound intake, the maildrop and the envelope reader: what the SMTP and POP3 sessions rely on
// the store for.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>

#include "platform/fs.h"
#include "platform/path.h"
#include "store/envelope.h"
#include "store/inbound_intake.h"
#include "store/maildrop.h"
#include "store/queue_files.h"
#include "store/queue_item.h"
#include "store/store_paths.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

void Put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Get(const std::string& path) {
  std::string text;
  EXPECT_EQ(platform::ReadWholeFile(path, &text), 0) << path;
  return text;
}

struct Home {
  Home() { EXPECT_EQ(platform::MakeDirectoryTree(dir / "INQUEUE"), 0); }
  CTempDir dir;
};

TEST(InboundIntakeTest, AnItemIsReservedWrittenCommittedAndOnlyThenVisible) {
  Home home;
  CInboundQueue queue(home.dir.path());
  CInboundItem item(queue);
  ASSERT_EQ(item.Reserve(), 0);
  EXPECT_EQ(platform::BaseName(item.EnvelopePath()), "R0000000.TMP");
  EXPECT_EQ(platform::BaseName(item.MessagePath()), "M0000000.TMP");
  ASSERT_EQ(item.Open(), 0);
  EXPECT_TRUE(platform::FileExists(home.dir / "INQUEUE/B0000000.TMP"));
  ASSERT_EQ(item.Write("Subject: x\r\n\r\nbody\r\n"), 0);
  EnvelopeFields env;
  env.from = "a@b.test";
  env.to = {"c@example.test", "d@far.test"};
  ASSERT_EQ(item.Commit(env), 0);
  // Synced, but still marked until the client has heard the answer.
  EXPECT_TRUE(ListCompleteItems(home.dir / "INQUEUE", ItemKind::kInbound).empty());
  item.Publish();
  EXPECT_EQ(ListCompleteItems(home.dir / "INQUEUE", ItemKind::kInbound),
            (std::vector<std::string>{"M0000000.TMP"}));
  EnvelopeFields back;
  ASSERT_EQ(ReadEnvelope(home.dir / "INQUEUE/R0000000.TMP", &back), 0);
  EXPECT_EQ(back.from, "a@b.test");
  EXPECT_EQ(back.to, env.to);
  EXPECT_EQ(Get(home.dir / "INQUEUE/M0000000.TMP"), "Subject: x\r\n\r\nbody\r\n");
  // A published item is the queue's: the session's next transaction does not touch it.
  item.Abandon();
  EXPECT_TRUE(platform::FileExists(home.dir / "INQUEUE/M0000000.TMP"));
}

TEST(InboundIntakeTest, ANameWhoseMessageIsStillBeingRemovedIsNotReserved) {
  Home home;
  // Item 0 is half removed (its envelope went first); item 1 is free.
  Put(home.dir / "INQUEUE/m0000000.tmp", "the old message\r\n");
  CInboundQueue queue(home.dir.path());
  CInboundItem item(queue);
  ASSERT_EQ(item.Reserve(), 0);
  EXPECT_EQ(platform::BaseName(item.EnvelopePath()), "R0000001.TMP");
  EXPECT_FALSE(platform::FileExists(home.dir / "INQUEUE/R0000000.TMP"));
  // A message file that appears under the reserved name is never written over.
  Put(home.dir / "INQUEUE/M0000001.TMP", "another writer's\r\n");
  EXPECT_NE(item.Open(), 0);
  EXPECT_EQ(Get(home.dir / "INQUEUE/M0000001.TMP"), "another writer's\r\n");
  EXPECT_FALSE(platform::FileExists(home.dir / "INQUEUE/B0000001.TMP"));
  EXPECT_EQ(Get(home.dir / "INQUEUE/m0000000.tmp"), "the old message\r\n");
}

TEST(InboundIntakeTest, AnUnpublishedItemLeavesNothingBehind) {
  Home home;
  CInboundQueue queue(home.dir.path());
  {
    CInboundItem reservedOnly(queue);
    ASSERT_EQ(reservedOnly.Reserve(), 0);
  }
  {
    CInboundItem written(queue);
    ASSERT_EQ(written.Reserve(), 0);
    ASSERT_EQ(written.Open(), 0);
    ASSERT_EQ(written.Write("partial"), 0);
  }
  {
    CInboundItem committed(queue);
    ASSERT_EQ(committed.Reserve(), 0);
    ASSERT_EQ(committed.Open(), 0);
    ASSERT_EQ(committed.Commit(EnvelopeFields{}), 0);
    // The reply could not be sent: the item goes.
  }
  EXPECT_TRUE(platform::FindFiles(home.dir / "INQUEUE", "*").empty());
}

TEST(InboundIntakeTest, ConcurrentReservationsNeverShareAName) {
  Home home;
  CInboundQueue queue(home.dir.path());
  std::vector<std::unique_ptr<CInboundItem>> items;
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    items.push_back(std::make_unique<CInboundItem>(queue));
    ASSERT_EQ(items.back()->Reserve(), 0);
    EXPECT_TRUE(names.insert(items.back()->EnvelopePath()).second);
  }
  // A name freed behind the search hint is found again once the names after it run out.
  items.clear();
  CInboundItem again(queue);
  ASSERT_EQ(again.Reserve(), 0);
}

// A queue holding more waiting items than one window of tries still takes mail after a restart
// (the search starts at 0 again), and the names after the hint come from one reading of the
// directory, not a look per name.
TEST(InboundIntakeTest, AFullQueueAfterARestartStillTakesMail) {
  Home home;
  std::string q = home.dir / "INQUEUE";
  constexpr long kWaiting = 10050;
  for (long n = 0; n < kWaiting; ++n) {
    char name[32];
    // Upper and lower case, as the intake and the server's own messages name them.
    std::snprintf(name, sizeof name, n % 2 ? "/R%07ld.TMP" : "/r%07ld.tmp", n);
    Put(q + name, "");
  }
  CInboundQueue queue(home.dir.path());
  CInboundItem item(queue);
  ASSERT_EQ(item.Reserve(), 0);
  EXPECT_EQ(platform::BaseName(item.EnvelopePath()), "R0010050.TMP");
  CInboundItem next(queue);
  ASSERT_EQ(next.Reserve(), 0);
  EXPECT_EQ(platform::BaseName(next.EnvelopePath()), "R0010051.TMP");
  // After the next restart the search starts at 0 again and finds a name freed meanwhile.
  ASSERT_EQ(platform::RemoveFile(q + "/r0000010.tmp"), 0);
  CInboundQueue restarted(home.dir.path());
  CInboundItem first(restarted);
  ASSERT_EQ(first.Reserve(), 0);
  EXPECT_EQ(platform::BaseName(first.EnvelopePath()), "R0000010.TMP");
}

TEST(InboundIntakeTest, AMissingQueueOrNoDescriptorsFailAtOnce) {
  CTempDir empty;
  CInboundQueue missing(empty.path());
  CInboundItem a(missing);
  EXPECT_EQ(a.Reserve(), kErrNoDirectory);

  Home home;
  CInboundQueue queue(home.dir.path());
  CInboundItem b(queue);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // No descriptor left: the reservation cannot create its file and must not try ten million
  // names before it says so.
  std::vector<int> held;
  rlimit tight = saved;
  tight.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  for (int fd; (fd = ::dup(0)) >= 0;) held.push_back(fd);
  auto start = std::chrono::steady_clock::now();
  int rc = b.Reserve();
  auto took = std::chrono::steady_clock::now() - start;
  for (int fd : held) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(rc, kErrIntakeFile);
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_FALSE(b.Reserved());
}

TEST(InboundIntakeTest, StartUpClearsOnlyEmptyReservationsWithoutAMessage) {
  Home home;
  std::string q = home.dir / "INQUEUE";
  Put(q + "/R0000001.TMP", "");                       // a session killed after MAIL
  Put(q + "/R0000002.TMP", "");                       // killed during DATA: its message is
  Put(q + "/M0000002.TMP", "partial");                //   the busy-marker recovery's business
  Put(q + "/R0000003.TMP", "[From]\r\nFrom=a@b\r\n");  // an envelope with content stays
  EXPECT_EQ(ClearAbandonedReservations(home.dir.path()), 1);
  EXPECT_FALSE(platform::FileExists(q + "/R0000001.TMP"));
  EXPECT_TRUE(platform::FileExists(q + "/R0000002.TMP"));
  EXPECT_TRUE(platform::FileExists(q + "/R0000003.TMP"));
}

TEST(MaildropTest, CompleteMessagesSortedWithSizesAndDeletionOnlyOfTheMarked) {
  CTempDir home;
  std::string box = home / "MAILIN/alice";
  ASSERT_EQ(platform::MakeDirectoryTree(box), 0);
  Put(box + "/m0000002.mim", "two!");
  Put(box + "/M0000001.MIM", "one");
  Put(box + "/m0000003.mim", "busy");
  Put(box + "/b0000003.mim", "");  // still being written
  Put(box + "/MAILBOX.INI", "[SETUP]\r\n");
  CMaildrop drop;
  EXPECT_EQ(drop.Open(home.path(), "ALICE"), 2u);  // the directory is found without case
  EXPECT_EQ(drop.TotalBytes(), 7u);
  ASSERT_NE(drop.Find(1), nullptr);
  EXPECT_EQ(platform::BaseName(drop.Find(1)->path), "M0000001.MIM");
  EXPECT_EQ(drop.Find(2)->size, 4u);
  EXPECT_EQ(drop.Find(0), nullptr);
  EXPECT_EQ(drop.Find(3), nullptr);
  EXPECT_TRUE(drop.MarkDeleted(2));
  EXPECT_FALSE(drop.MarkDeleted(2));
  EXPECT_FALSE(drop.MarkDeleted(3));
  drop.UnmarkAll();
  EXPECT_TRUE(drop.MarkDeleted(1));
  EXPECT_EQ(drop.Expunge(), 1);
  EXPECT_FALSE(platform::FileExists(box + "/M0000001.MIM"));
  EXPECT_TRUE(platform::FileExists(box + "/m0000002.mim"));
  EXPECT_TRUE(platform::FileExists(box + "/m0000003.mim"));
  EXPECT_EQ(drop.Count(), 0u);
}

TEST(MaildropTest, MessageLinesLeaveOutOnlyALeadingStatusLine) {
  CTempDir dir;
  auto lines = [&](const std::string& text, size_t stopAfter = 1000) {
    Put(dir / "m.mim", text);
    std::vector<std::string> out;
    EXPECT_EQ(ReadMessageLines(dir / "m.mim", [&](std::string_view l) {
                out.emplace_back(l);
                return out.size() < stopAfter;
              }),
              0);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(lines("X-IStatus:00000000000000000003\r\nA: b\r\n\r\nbody"), (V{"A: b", "", "body"}));
  EXPECT_EQ(lines("A: b\r\nX-IStatus:00000000000000000003\r\n"), (V{"A: b", "X-IStatus:00000000000000000003"}));
  EXPECT_EQ(lines("X-IStatus:\r\nkept\n"), (V{"kept"}));
  EXPECT_EQ(lines("X-IStat\r\nkept\n"), (V{"X-IStat", "kept"}));  // too short to be one
  EXPECT_EQ(lines("x-istatus:00000000000000000003\r\n"), (V{"x-istatus:00000000000000000003"}));
  EXPECT_EQ(lines("a\rb\r\n\n"), (V{"a\rb", ""}));
  EXPECT_EQ(lines("1\r\n2\r\n3\r\n", 2), (V{"1", "2"}));
  std::string huge(3 * 1024 * 1024, 'x');  // longer than any read block, kept whole
  EXPECT_EQ(lines("X-IStatus:00000000000000000003\r\n" + huge + "\r\nend"), (V{huge, "end"}));
  EXPECT_EQ(ReadMessageLines(dir / "gone.mim", [](std::string_view) { return true; }), -4);
}

TEST(EnvelopeReaderTest, OnePassWithTheQueueProfileRules) {
  EnvelopeFields f;
  ParseEnvelope(
      "junk before\r\n"
      "[from]\r\n"
      "  FROM = a@b.test\r\n"
      "From=second@ignored\r\n"
      "Subjectx=not the subject\r\n"
      "Subject =Hello there\r\n"
      "ReplyTo=r@x\r\nErrorTo=e@x\r\nReceipt=c@x\r\nIniDate=07/12/2026 10:00:00\r\n"
      "NxtSend=07/12/2026 10:05:00 001\r\n"
      "[TO]\r\n"
      "1=second@x\r\n"
      "0=first@x\r\n"
      "n=3\r\n"
      "[From]\r\n"
      "From=from-a-later-section@x\n",
      &f);
  EXPECT_EQ(f.from, "a@b.test");
  EXPECT_EQ(f.subject, "Hello there");
  EXPECT_EQ(f.replyTo, "r@x");
  EXPECT_EQ(f.errorTo, "e@x");
  EXPECT_EQ(f.receipt, "c@x");
  EXPECT_EQ(f.iniDate, "07/12/2026 10:00:00");
  EXPECT_EQ(f.nxtSend, "07/12/2026 10:05:00 001");
  EXPECT_EQ(f.to, (std::vector<std::string>{"first@x", "second@x", ""}));

  // Values are kept to 255 characters; lines are read up to 256.
  std::string v255(255, 'v');
  ParseEnvelope("[From]\r\nSubject=" + v255 + "tail\r\n[To]\r\nn=1\r\n0=" + v255 + "\r\n", &f);
  EXPECT_EQ(f.subject, std::string(256 - 8, 'v'));  // the line was cut at 256
  EXPECT_EQ(f.to[0].size(), 254u);  // "0=" and 254 characters fill the 256
  // What the writer writes, the reader reads back.
  EnvelopeFields w;
  w.from = "x@y";
  w.subject = "line\r\nBcc: injected";
  w.to = {"a@b", "c@d"};
  std::tm now{};
  ParseEnvelope(FormatEnvelope(w, now), &f);
  EXPECT_EQ(f.from, "x@y");
  EXPECT_EQ(f.subject, "line  Bcc: injected");
  EXPECT_EQ(f.to, w.to);
  EXPECT_EQ(f.steps, (std::vector<std::string>{"", ""}));
  // Steps of carried-over recipients: only set ones are written, "n" up to the last of them.
  w.to = {"a@b", "c@d", "e@f"};
  w.steps = {"", "forward x@y", ""};
  std::string text = FormatEnvelope(w, now);
  EXPECT_NE(text.find("[Steps]\r\nn=2\r\n1=forward x@y\r\n"), std::string::npos) << text;
  ParseEnvelope(text, &f);
  EXPECT_EQ(f.steps, w.steps);
  w.steps.clear();
  EXPECT_EQ(FormatEnvelope(w, now).find("[Steps]"), std::string::npos);
  EXPECT_EQ(ReadEnvelope("/nonexistent/R0000001.TMP", &f), -4);
}

TEST(StorePathsTest, CanonicalNamesAndExistingSpellings) {
  CTempDir home;
  EXPECT_EQ(InqueueDir(home.path()), home / "INQUEUE");
  EXPECT_EQ(OutqueueDir(home.path(), "MAILHUB"), home / "OUTQUEUE/MAILHUB");
  ASSERT_EQ(platform::MakeDirectoryTree(home / "mailin/Alice"), 0);
  EXPECT_EQ(MailboxDir(home.path(), "alice"), home / "mailin/Alice");
  EXPECT_EQ(MailinRoot(home.path()), home / "mailin");
}

}  // namespace
}  // namespace store
