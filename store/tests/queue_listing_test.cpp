#include "store/queue_listing.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/lock_file.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

void Put(const std::string& path, const std::string& text) {
  ASSERT_EQ(platform::WriteFileAtomic(path, text, false), 0) << path;
}

TEST(QueueListing, ListsCompleteItemsOfEveryQueueWithAttemptsAndTotals) {
  CTempDir dir;
  ASSERT_EQ(platform::MakeDirectoryTree(dir / "INQUEUE"), 0);
  ASSERT_EQ(platform::MakeDirectoryTree(dir / "OUTQUEUE/FAR"), 0);
  Put(dir / "INQUEUE/M0000001.TMP", std::string(2000, 'x'));
  Put(dir / "INQUEUE/R0000001.TMP",
      "[From]\r\nFrom=zoe@far.test\r\nIniDate=07/12/2026 05:40:00\r\n[To]\r\nn=2\r\n"
      "0=a@example.test\r\n1=b@example.test\r\n");
  // Being written (busy marker held) or without its envelope: not listed.
  Put(dir / "INQUEUE/M0000002.TMP", "y");
  Put(dir / "INQUEUE/R0000002.TMP", "[From]\r\nFrom=busy@x\r\n[To]\r\nn=1\r\n0=c@x\r\n");
  platform::CBusyMarker busy;
  ASSERT_TRUE(busy.Create(dir / "INQUEUE/B0000002.TMP"));
  Put(dir / "INQUEUE/M0000003.TMP", "z");
  Put(dir / "OUTQUEUE/FAR/M0000007.MIM", std::string(100, 'm'));
  Put(dir / "OUTQUEUE/FAR/I0000007.MIM",
      "[From]\r\nFrom=\r\nIniDate=06/12/2026 23:00:00\r\nNxtSend=07/12/2026 06:15:00 003\r\n"
      "[To]\r\nn=1\r\n0=x@far.test\r\n");

  std::vector<QueuedItem> items = ListQueuedItems(dir.path());
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].queue, "INQUEUE");
  EXPECT_EQ(items[0].name, "M0000001.TMP");
  EXPECT_EQ(items[0].size, 2000);
  EXPECT_EQ(items[0].from, "zoe@far.test");
  EXPECT_EQ(items[0].to, (std::vector<std::string>{"a@example.test", "b@example.test"}));
  EXPECT_EQ(items[0].attempts, 0);
  EXPECT_EQ(items[0].nextAttempt, "");
  EXPECT_EQ(items[1].queue, "OUTQUEUE/FAR");
  EXPECT_EQ(items[1].attempts, 3);
  EXPECT_EQ(items[1].nextAttempt, "07/12/2026 06:15:00");

  std::string text = FormatQueueListing(items);
  EXPECT_NE(text.find("INQUEUE/M0000001.TMP"), std::string::npos);
  EXPECT_NE(text.find("07/12/2026 05:40:00 zoe@far.test\n"), std::string::npos);
  EXPECT_NE(text.find("attempts 3, next 07/12/2026 06:15:00\n"), std::string::npos);
  EXPECT_NE(text.find("attempts 0, next -\n"), std::string::npos);
  EXPECT_NE(text.find(" <>\n"), std::string::npos);  // the null sender
  EXPECT_NE(text.find(" x@far.test\n"), std::string::npos);
  EXPECT_EQ(text.find("busy@x"), std::string::npos);
  EXPECT_NE(text.find("-- 2 items, 3 Kbytes in 2 queues.\n"), std::string::npos);
}

TEST(QueueListing, EmptyOrMissingQueuesGiveOnlyTheTotal) {
  CTempDir dir;
  std::string text = FormatQueueListing(ListQueuedItems(dir.path()));
  EXPECT_NE(text.find("-- 0 items, 0 Kbytes in 0 queues.\n"), std::string::npos);
}

}  // namespace
}  // namespace store
