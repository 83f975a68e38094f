#include "store/queue_item.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "store/queue_files.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

TEST(ItemWriterTest, AnItemIsInvisibleUntilCommittedAndCompleteAfterwards) {
  CTempDir dir;
  CItemWriter w;
  ASSERT_EQ(w.Begin(dir.path(), ItemKind::kInbound), 0);
  EXPECT_EQ(platform::BaseName(w.MessagePath()), "M0000001.TMP");
  ASSERT_EQ(w.Write("Subject: hi\r\n\r\n"), 0);
  ASSERT_EQ(w.Write("body\r\n"), 0);
  EXPECT_TRUE(platform::FileExists(dir / "B0000001.TMP"));
  EXPECT_TRUE(ListCompleteItems(dir.path(), ItemKind::kInbound).empty());
  ASSERT_EQ(w.Commit("[From]\r\nFrom=a@b.test\r\n[To]\r\nn=1\r\n0=c@d.test\r\n"), 0);
  EXPECT_FALSE(platform::FileExists(dir / "B0000001.TMP"));
  EXPECT_FALSE(platform::FileExists(dir / "~M0000001.TMP.part"));
  EXPECT_EQ(ListCompleteItems(dir.path(), ItemKind::kInbound),
            (std::vector<std::string>{"M0000001.TMP"}));
  std::string text;
  ASSERT_EQ(platform::ReadWholeFile(dir / "M0000001.TMP", &text), 0);
  EXPECT_EQ(text, "Subject: hi\r\n\r\nbody\r\n");
  ASSERT_EQ(platform::ReadWholeFile(dir / "R0000001.TMP", &text), 0);
  EXPECT_EQ(text.substr(0, 6), "[From]");
}

TEST(ItemWriterTest, AnAbandonedWriterLeavesNothing) {
  CTempDir dir;
  {
    CItemWriter w;
    ASSERT_EQ(w.Begin(dir.path(), ItemKind::kOutbound), 0);
    ASSERT_EQ(w.Write("partial"), 0);
  }
  EXPECT_EQ(platform::FindFiles(dir.path(), "*"), (std::vector<std::string>{"useqf"}));
  CItemWriter none;
  EXPECT_EQ(none.Begin(dir / "missing", ItemKind::kMailbox), -1);
}

TEST(ItemWriterTest, WritesOfADeadWriterAreFinishedAndALivingWritersAreLeftAlone) {
  CTempDir dir;
  auto put = [&](const char* name, const std::string& text) {
    ASSERT_EQ(platform::WriteFileAtomic(dir / name, text), 0);
  };
  // Died after its message and envelope were on disk (the client may not have heard "250").
  put("B0000001.TMP", "");
  put("M0000001.TMP", "Subject: a\r\n\r\nx\r\n");
  put("R0000001.TMP", "[From]\r\nFrom=a@b.test\r\n[To]\r\nn=1\r\n0=c@d.test\r\n");
  // Died in the middle of the data: the envelope reserved but still empty.
  put("B0000002.TMP", "");
  put("M0000002.TMP", "Subject: b\r\n\r\nhalf");
  put("R0000002.TMP", "");
  // Died while streaming into its temporary file (the server's own writer, lower case).
  put("b0000003.tmp", "");
  put("~m0000003.tmp.part", "Subj");
  put(".~B0000004.TMP.99999999.1", "");  // died before its marker got its name
  put("M0000005.TMP", "Subject: done\r\n\r\n");  // served, its removal cut after the envelope
  // Still writing.
  CItemWriter living;
  ASSERT_EQ(living.Begin(dir.path(), ItemKind::kInbound), 0);
  ASSERT_EQ(living.Write("Subject: live\r\n"), 0);

  EXPECT_EQ(RecoverInterruptedItems(dir.path(), ItemKind::kInbound), 4);
  EXPECT_EQ(ListCompleteItems(dir.path(), ItemKind::kInbound), (std::vector<std::string>{"M0000001.TMP"}));
  for (const char* gone : {"M0000002.TMP", "R0000002.TMP", "B0000002.TMP", "~m0000003.tmp.part", "b0000003.tmp",
                           ".~B0000004.TMP.99999999.1", "M0000005.TMP"}) {
    EXPECT_FALSE(platform::FileExists(dir / gone)) << gone;
  }
  EXPECT_TRUE(platform::FileExists(platform::SiblingName(living.MessagePath(), 'B')));
  EXPECT_EQ(RecoverInterruptedItems(dir.path(), ItemKind::kInbound), 0);
  ASSERT_EQ(living.Commit("[From]\r\nFrom=a@b.test\r\n[To]\r\nn=1\r\n0=c@d.test\r\n"), 0);
  EXPECT_EQ(ListCompleteItems(dir.path(), ItemKind::kInbound).size(), 2u);

  // A mailbox message under its final name is complete; the marker alone hid it.
  CTempDir box;
  ASSERT_EQ(platform::WriteFileAtomic(box / "b0000009.mim", ""), 0);
  ASSERT_EQ(platform::WriteFileAtomic(box / "m0000009.mim", "Subject: c\r\n\r\n"), 0);
  EXPECT_EQ(RecoverInterruptedItems(box.path(), ItemKind::kMailbox), 1);
  EXPECT_EQ(ListCompleteItems(box.path(), ItemKind::kMailbox), (std::vector<std::string>{"m0000009.mim"}));
}

// An envelope rewrite cut short by a crash leaves "<envelope>.tmp~<pid>" beside the intact old
// envelope; the recovery removes the copy of a dead process and keeps the item and everything
// that only looks alike.
TEST(ItemWriterTest, RewriteCopiesOfDeadProcessesAreRemovedAndTheItemKept) {
  CTempDir dir;
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);  // reaped: its id names no process now
  const std::string dead = std::to_string(child), own = std::to_string(::getpid());
  const std::string envelope = "[From]\r\nFrom=a@b.test\r\n[To]\r\nn=1\r\n0=c@d.test\r\n";
  ASSERT_EQ(platform::WriteFileAtomic(dir / "M0000001.MIM", "Subject: a\r\n\r\nx\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "I0000001.MIM", envelope), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / ("I0000001.MIM.tmp~" + dead), "[From]\r\nFr"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / ("i0000002.mim.TMP~" + dead), ""), 0);  // any case
  // Kept: a living writer's copy, one without a process id, one whose id is not a number.
  ASSERT_EQ(platform::WriteFileAtomic(dir / ("I0000003.MIM.tmp~" + own), ""), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "I0000004.MIM.tmp~", ""), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / ("I0000005.MIM.tmp~" + dead + "x"), ""), 0);

  EXPECT_EQ(RecoverInterruptedItems(dir.path(), ItemKind::kOutbound), 2);
  EXPECT_FALSE(platform::FileExists(dir / ("I0000001.MIM.tmp~" + dead)));
  EXPECT_FALSE(platform::FileExists(dir / ("i0000002.mim.TMP~" + dead)));
  for (std::string kept : {"I0000003.MIM.tmp~" + own, std::string("I0000004.MIM.tmp~"),
                           "I0000005.MIM.tmp~" + dead + "x"}) {
    EXPECT_TRUE(platform::FileExists(dir / kept)) << kept;
  }
  EXPECT_EQ(ListCompleteItems(dir.path(), ItemKind::kOutbound),
            (std::vector<std::string>{"M0000001.MIM"}));
  std::string text;
  ASSERT_EQ(platform::ReadWholeFile(dir / "I0000001.MIM", &text), 0);
  EXPECT_EQ(text, envelope);
  EXPECT_EQ(RecoverInterruptedItems(dir.path(), ItemKind::kOutbound), 0);
}

TEST(ItemWriterTest, ListingSkipsBusyAndEnvelopeLessItemsWithoutRegardToCase) {
  CTempDir dir;
  for (const char* f : {"m0000001.mim", "I0000001.MIM", "M0000002.MIM", "M0000003.MIM",
                        "b0000003.mim", "i0000003.mim", "M0000004.MIM"}) {
    ASSERT_EQ(platform::WriteFileAtomic(dir / f, ""), 0);
  }
  EXPECT_EQ(ListCompleteItems(dir.path(), ItemKind::kOutbound),
            (std::vector<std::string>{"m0000001.mim"}));
  EXPECT_EQ(ListCompleteItems(dir.path(), ItemKind::kMailbox),
            (std::vector<std::string>{"M0000002.MIM", "M0000004.MIM", "m0000001.mim"}));
}

// The busy marker reserves the name: a number whose marker another writer holds, or whose message
// or envelope exists in another case, is passed over, and a commit never replaces a file that
// took the message's name meanwhile.
TEST(ItemWriterTest, ANameHeldOrTakenInAnyCaseIsNeverShared) {
  CTempDir dir;
  platform::CBusyMarker other;  // a writer busy with number 1, its message not yet named
  ASSERT_TRUE(other.Create(dir / "B0000001.TMP"));
  ASSERT_EQ(platform::WriteFileAtomic(dir / "r0000002.tmp", ""), 0);   // an envelope in lower case
  ASSERT_EQ(platform::WriteFileAtomic(dir / "m0000003.tmp", "x"), 0);  // a message in lower case
  CItemWriter w;
  ASSERT_EQ(w.Begin(dir.path(), ItemKind::kInbound), 0);
  EXPECT_EQ(platform::BaseName(w.MessagePath()), "M0000004.TMP");
  EXPECT_TRUE(platform::FileExists(dir / "B0000001.TMP"));

  // A writer without marker takes the name between Begin and Commit: its file stays as it was,
  // the commit fails and leaves nothing of its own.
  ASSERT_EQ(w.Write("mine"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "M0000004.TMP", "theirs"), 0);
  EXPECT_NE(w.Commit("[From]\r\nFrom=a@b.test\r\n[To]\r\nn=1\r\n0=c@d.test\r\n"), 0);
  w.Abandon();
  std::string text;
  ASSERT_EQ(platform::ReadWholeFile(dir / "M0000004.TMP", &text), 0);
  EXPECT_EQ(text, "theirs");
  for (const char* gone : {"B0000004.TMP", "R0000004.TMP", "~M0000004.TMP.part"}) {
    EXPECT_FALSE(platform::FileExists(dir / gone)) << gone;
  }

  // A mailbox: the next number after a message named in upper case by another writer.
  CTempDir box;
  ASSERT_EQ(platform::WriteFileAtomic(box / "useqf", "6"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(box / "M0000007.MIM", "x"), 0);
  CItemWriter m;
  ASSERT_EQ(m.Begin(box.path(), ItemKind::kMailbox, 1000, true), 0);
  EXPECT_EQ(platform::BaseName(m.MessagePath()), "m0000008.mim");
  ASSERT_EQ(m.Commit(), 0);
  EXPECT_EQ(ListCompleteItems(box.path(), ItemKind::kMailbox),
            (std::vector<std::string>{"M0000007.MIM", "m0000008.mim"}));
  // No free name within the tries.
  ASSERT_EQ(platform::WriteFileAtomic(box / "useqf", "6"), 0);
  CItemWriter full;
  EXPECT_EQ(full.Begin(box.path(), ItemKind::kMailbox, 2, true), kErrNameExhausted);
  EXPECT_FALSE(platform::FileExists(box / "b0000007.mim"));
  EXPECT_FALSE(platform::FileExists(box / "b0000008.mim"));
}

// A reader polling the mailbox while writers deliver sees every message whole or not at all.
TEST(ItemWriterTest, ConcurrentReadersNeverSeeAPartialMessage) {
  CTempDir dir;
  const std::string body(200000, 'x');
  std::atomic<bool> done{false};
  std::atomic<int> partial{0};
  std::thread reader([&] {
    while (!done) {
      for (const std::string& name : ListCompleteItems(dir.path(), ItemKind::kMailbox)) {
        int64_t size = platform::FileSize(platform::JoinPath(dir.path(), name));
        if (size >= 0 && size != static_cast<int64_t>(body.size())) ++partial;
      }
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < 15; ++i) {
        CItemWriter w;
        ASSERT_EQ(w.Begin(dir.path(), ItemKind::kMailbox), 0);
        for (size_t off = 0; off < body.size(); off += 50000) {
          ASSERT_EQ(w.Write(std::string_view(body).substr(off, 50000)), 0);
        }
        ASSERT_EQ(w.Commit(), 0);
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(partial, 0);
  EXPECT_EQ(ListCompleteItems(dir.path(), ItemKind::kMailbox).size(), 45u);
}

}  // namespace
}  // namespace store
