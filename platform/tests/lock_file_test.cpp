#include "platform/lock_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

using testing_support::CTempDir;

TEST(LockFileTest, SecondHolderIsRefusedUntilRelease) {
  CTempDir dir;
  std::string path = dir / "NEXUM2.LCK";
  CLockFile first, second;
  ASSERT_EQ(first.TryAcquire(path), LockAttempt::kHeld);
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(second.TryAcquire(path), LockAttempt::kBusy);
  first.Release();
  EXPECT_FALSE(FileExists(path));  // release removes the file
  EXPECT_EQ(second.TryAcquire(path), LockAttempt::kHeld);
}

TEST(LockFileTest, HolderInAnotherProcessBlocksAndItsEndFreesTheLock) {
  CTempDir dir;
  std::string path = dir / "USER.LCK";
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CLockFile held;
    char c = held.TryAcquire(path) == LockAttempt::kHeld ? 'y' : 'n';
    (void)!::write(ready[1], &c, 1);
    (void)!::read(done[0], &c, 1);
    ::_exit(0);  // dies without releasing: the flock goes with the process
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  CLockFile mine;
  EXPECT_EQ(mine.TryAcquire(path), LockAttempt::kBusy);
  (void)!::write(done[1], "x", 1);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  // The leftover file that nobody holds does not block.
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(mine.TryAcquire(path), LockAttempt::kHeld);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

TEST(LockFileTest, MissingDirectoryIsReportedNotBusy) {
  CTempDir dir;
  CLockFile lock;
  EXPECT_EQ(lock.TryAcquire(dir / "nodir/X.LCK"), LockAttempt::kNoDirectory);
  EXPECT_FALSE(lock.Held());
}

TEST(LockFileTest, ExclusiveFileRefusesSecondCreatorAndIsRemovedOnRelease) {
  CTempDir dir;
  std::string path = dir / "useqf.tri";
  {
    CExclusiveFile a, b;
    ASSERT_TRUE(a.TryCreate(path));
    EXPECT_FALSE(b.TryCreate(path));
    CExclusiveFile moved = std::move(a);
    EXPECT_TRUE(moved.Held());
    EXPECT_FALSE(a.Held());
  }
  EXPECT_FALSE(FileExists(path));
}

TEST(LockFileTest, InstanceLockNamesTheHolder) {
  CTempDir dir;
  std::string path = dir / ".quorvale-instance";
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CInstanceLock lock;
    long holder = 0;
    if (lock.Acquire(path, &holder) != 0) ::_exit(2);
    ::sleep(5);
    ::_exit(0);
  }
  // Wait until the child holds it.
  for (int i = 0; i < 100 && FileSize(path) <= 0; ++i) ::usleep(20000);
  CInstanceLock mine;
  long holder = 0;
  EXPECT_EQ(mine.Acquire(path, &holder), -1);
  EXPECT_EQ(holder, child);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(mine.Acquire(path, &holder), 0);
}

}  // namespace
}  // namespace platform
