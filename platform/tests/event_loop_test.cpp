#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/fs.h"
#include "platform/launcher.h"
#include "platform/system.h"
#include "platform/thread_signal.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

using testing_support::CTempDir;

TEST(EventLoopTest, TimerTicksAndPosixSignalsArriveOnTheLoop) {
  CEventLoop loop;
  ASSERT_EQ(loop.Open(10), 0);
  int ticks = 0;
  std::vector<ProcessSignal> signals;
  loop.OnTimer([&] {
    if (++ticks == 3) ::raise(SIGHUP);
    if (ticks == 6) ::raise(SIGUSR1);
  });
  loop.OnSignal([&](ProcessSignal s) {
    signals.push_back(s);
    if (s == ProcessSignal::kUser1) loop.Quit();
  });
  ASSERT_EQ(loop.Run(), 0);
  EXPECT_EQ(signals, (std::vector<ProcessSignal>{ProcessSignal::kHangup, ProcessSignal::kUser1}));
  EXPECT_GE(ticks, 6);
}

TEST(ThreadSignalTest, ParsesOnlyWellFormedDatagrams) {
  auto s = ParseSignalDatagram("KESTRUM_SMTP_STOP 1 203");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->name, "KESTRUM_SMTP_STOP");
  EXPECT_EQ(s->word, 1u);
  EXPECT_EQ(s->param, 203);
  EXPECT_EQ(ParseSignalDatagram("KESTRUM_IMSAPI 7 -5")->param, -5);
  for (const char* bad : {"", "X", "X 1", "X 1 ", "X a 2", "X 1 2z", " 1 2"}) {
    EXPECT_FALSE(ParseSignalDatagram(bad).has_value()) << bad;
  }
}

TEST(ThreadSignalTest, PostToAMissingProcessFailsAndToABoundSocketArrives) {
  CTempDir dir;
  EXPECT_EQ(PostThreadSignal(dir.path(), 999999, {"KESTRUM_SMTP_STOP", 1, 203}), -1);
  EXPECT_EQ(PostThreadSignal(dir.path(), 0, {"KESTRUM_SMTP_STOP", 1, 203}), -1);
  {
    CSignalSocket socket;
    ASSERT_EQ(socket.Bind(dir.path(), 4242), 0);
    EXPECT_TRUE(FileExists(SignalSocketPath(dir.path(), 4242)));
    ASSERT_EQ(PostThreadSignal(dir.path(), 4242, {"KESTRUM_SMTP_STOP", 1, 211}), 0);
    auto got = socket.Receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->param, 211);
    EXPECT_FALSE(socket.Receive().has_value());
  }
  // The socket file goes with its owner, and a post then fails again.
  EXPECT_FALSE(FileExists(SignalSocketPath(dir.path(), 4242)));
  EXPECT_EQ(PostThreadSignal(dir.path(), 4242, {"KESTRUM_SMTP_STOP", 1, 211}), -1);
}

// Two processes, each with its own loop and socket, answer each other's signal.
TEST(ThreadSignalTest, TwoProcessesSignalEachOther) {
  CTempDir dir;
  long parentId = CurrentProcessId();
  CSignalSocket socket;
  ASSERT_EQ(socket.Bind(dir.path(), parentId), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CEventLoop loop;
    CSignalSocket mine;
    if (loop.Open(10) != 0 || mine.Bind(dir.path(), CurrentProcessId()) != 0) ::_exit(2);
    int code = 3;
    loop.WatchSignalSocket(&mine, [&](const ThreadSignal& s) {
      code = s.param == 203 ? 0 : 4;
      // Answer the peer with the same code, as a re-read request would.
      if (PostThreadSignal(dir.path(), parentId, {s.name, 1, 203}) != 0) code = 5;
      loop.Quit();
    });
    int ticks = 0;
    loop.OnTimer([&] {
      if (++ticks > 500) loop.Quit();
    });
    loop.Run();
    ::_exit(code);
  }
  std::string childSocket = SignalSocketPath(dir.path(), child);
  for (int i = 0; i < 200 && !FileExists(childSocket); ++i) SleepMilliseconds(10);
  ASSERT_EQ(PostThreadSignal(dir.path(), child, {"KESTRUM_SMTP_STOP", 1, 203}), 0);
  std::optional<ThreadSignal> answer;
  for (int i = 0; i < 300 && !answer; ++i) {
    answer = socket.Receive();
    if (!answer) SleepMilliseconds(10);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->param, 203);
}

TEST(LauncherTest, RunsTheCommandLineInTheDirectoryAndReapsDetachedChildren) {
  CTempDir dir;
  CLauncher launcher;
  long pid = 0;
  ASSERT_EQ(launcher.Launch("echo \"$PWD\" > where.txt; exit 3", dir.path(), &pid, false), 0);
  EXPECT_EQ(CLauncher::Wait(pid), 3);
  std::string where;
  ASSERT_EQ(ReadWholeFile(dir / "where.txt", &where), 0);
  EXPECT_EQ(where, dir.path() + "\n");

  ASSERT_EQ(launcher.Launch("true", dir.path()), 0);
  EXPECT_EQ(launcher.RunningDetached(), 1u);
  for (int i = 0; i < 200 && launcher.RunningDetached() > 0; ++i) {
    SleepMilliseconds(10);
    launcher.Reap();
  }
  EXPECT_EQ(launcher.RunningDetached(), 0u);
}

}  // namespace
}  // namespace platform
