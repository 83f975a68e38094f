#include "core/locked_ini.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "core/message_sink.h"
#include "core/tests/fakes.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "testing/temp_dir.h"

namespace core {
namespace {

using testing_support::CTempDir;

// Holds `lockPath` in a child process until the returned pipe end is closed.
pid_t HoldLockInChild(const std::string& lockPath, int* release) {
  int ready[2], done[2];
  if (::pipe(ready) != 0 || ::pipe(done) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(done[1]);  // so that the parent's close is seen as end of input
    platform::CLockFile lock;
    char c = lock.TryAcquire(lockPath) == platform::LockAttempt::kHeld ? 'y' : 'n';
    (void)!::write(ready[1], &c, 1);
    (void)!::read(done[0], &c, 1);
    ::_exit(0);
  }
  char c = 0;
  (void)!::read(ready[0], &c, 1);
  ::close(ready[0]);
  ::close(ready[1]);
  ::close(done[0]);
  *release = done[1];
  return c == 'y' ? child : -1;
}

TEST(LockedIniTest, LockPathReplacesTheExtensionOfTheFileName) {
  EXPECT_EQ(CLockedIniFile("/h/NEXUM2.INI").LockPath(), "/h/NEXUM2.LCK");
  EXPECT_EQ(CLockedIniFile("/h/my.dir/USER.INI").LockPath(), "/h/my.dir/USER.LCK");
  EXPECT_EQ(CLockedIniFile("/h/my.dir/passwd").LockPath(), "/h/my.dir/passwd.LCK");
}

TEST(LockedIniTest, ReadsAndWritesUnderTheLockAndLeaveNoLockFile) {
  CTempDir dir;
  CLockedIniFile ini(dir / "NEXUM2.INI");
  ASSERT_EQ(ini.WriteInt("SMTP", "smtpport", 2525), 0);
  ASSERT_EQ(ini.WriteEntries("SMTP", {{"Domain", "example.test"}, {"MaxHops", "abc"}}), 0);
  EXPECT_EQ(ini.ReadInt("smtp", "SMTPPORT", 25), 2525);
  EXPECT_EQ(ini.ReadString("SMTP", "Domain", "", 7), "example");
  EXPECT_EQ(ini.ReadInt("SMTP", "MaxHops", 30), 0);  // non-numeric reads as 0
  EXPECT_EQ(ini.ReadLong("SMTP", "missing", -1), -1);
  ASSERT_EQ(ini.BeginHeldLock(), 0);
  EXPECT_TRUE(platform::FileExists(dir / "NEXUM2.LCK"));
  EXPECT_EQ(ini.ReadInt("SMTP", "smtpport", 0), 2525);  // reads inside the span
  ini.EndHeldLock();
  EXPECT_FALSE(platform::FileExists(dir / "NEXUM2.LCK"));
}

TEST(LockedIniTest, AHeldLockFailsAfterTheRetriesAndReadsYieldEmpty) {
  CTempDir dir;
  CLockedIniFile ini(dir / "NEXUM2.INI");
  ASSERT_EQ(platform::WriteFileAtomic(dir / "NEXUM2.INI", "[SMTP]\r\nsmtpport=2525\r\n"), 0);
  int release = -1;
  pid_t holder = HoldLockInChild(ini.LockPath(), &release);
  ASSERT_GT(holder, 0);

  // The real retry count: 31 attempts 100 ms apart, about 3 seconds.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ini.BeginHeldLock(), -1);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::milliseconds(6000));

  ini.SetRetryForTest(2, 1);
  EXPECT_EQ(ini.ReadString("SMTP", "smtpport", "d"), "");
  EXPECT_EQ(ini.ReadInt("SMTP", "smtpport", 25), 0);
  EXPECT_EQ(ini.WriteInt("SMTP", "smtpport", 1), -1);

  ::close(release);
  ::waitpid(holder, nullptr, 0);
  // The holder died and left its file: nobody holds it, so it does not block.
  EXPECT_TRUE(platform::FileExists(ini.LockPath()));
  EXPECT_EQ(ini.ReadInt("SMTP", "smtpport", 25), 2525);
}

TEST(LockedIniTest, TheOperatorDecidesAboutALockThatStaysHeld) {
  CTempDir dir;
  std::vector<std::string> shown;
  std::deque<int> answers = {kAnswerNo, kAnswerYes};
  CMessageSink sink(dir / "message.log", std::make_unique<CScriptedOperator>(&shown, &answers));
  sink.SetOperator(true);
  CLockedIniFile ini(dir / "NEXUM2.INI");
  ini.SetRetryForTest(1, 1);
  int release = -1;
  pid_t holder = HoldLockInChild(ini.LockPath(), &release);
  ASSERT_GT(holder, 0);

  EXPECT_EQ(ini.BeginForLoadOrSave(sink), -1);  // answered No
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Could not Lock/Open file (" + ini.IniPath() +
                          ").\n\nTo manually remove the lock after a crash, please delete the "
                          "corresponding .LCK file.\n\nDo you agree to remove the lock now?");
  EXPECT_EQ(ini.BeginForLoadOrSave(sink), 0);  // answered Yes: the lock file goes
  EXPECT_FALSE(platform::FileExists(ini.LockPath()));
  EXPECT_FALSE(ini.LockingWanted());
  EXPECT_EQ(ini.WriteInt("SMTP", "smtpport", 2525), 0);
  ini.EndHeldLock();
  EXPECT_EQ(ini.ReadInt("SMTP", "smtpport", 0), 2525);

  // Without an operator the question is answered No.
  CMessageSink service(dir / "message.log", nullptr);
  CLockedIniFile other(dir / "NEXUM2.INI");
  other.SetRetryForTest(1, 1);
  platform::CLockFile again;
  ASSERT_EQ(again.TryAcquire(other.LockPath()), platform::LockAttempt::kHeld);
  EXPECT_EQ(other.BeginForLoadOrSave(service), -1);
  ::close(release);
  ::waitpid(holder, nullptr, 0);
}

TEST(LockedIniTest, AMissingDirectoryMeansNoLockingNotFailure) {
  CTempDir dir;
  CLockedIniFile ini(dir / "absent/NEXUM2.INI");
  EXPECT_EQ(ini.BeginHeldLock(), 0);
  EXPECT_EQ(ini.ReadInt("SMTP", "smtpport", 25), 25);
  ini.EndHeldLock();
}

}  // namespace
}  // namespace core
