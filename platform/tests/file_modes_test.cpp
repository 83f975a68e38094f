// The modes of what the platform layer creates, under the loosest umask; the walk that finds
// entries by mode; the sockets bound before the switch to the service user; the switch itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/identity.h"
#include "platform/lock_file.h"
#include "platform/prebound.h"
#include "platform/profile.h"
#include "platform/thread_signal.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

using testing_support::CTempDir;

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

// Sets the umask for the scope of one test.
class CUmask {
 public:
  explicit CUmask(mode_t mask) : old_(::umask(mask)) {}
  ~CUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(FileModesTest, EveryCreatingCallMakesPrivateFilesAndDirectoriesUnderUmaskZero) {
  CUmask open(0);
  CTempDir dir;
  std::map<std::string, unsigned> made;  // path -> mode found while it exists

  for (auto [name, mode] : {std::pair{"write", FileMode::kWrite},
                            {"append", FileMode::kAppend},
                            {"readwrite", FileMode::kReadWrite},
                            {"new", FileMode::kCreateNew}}) {
    CFile f;
    ASSERT_EQ(f.Open(dir / name, mode), 0) << name;
    made[name] = ModeOf(dir / name);
  }
  ASSERT_EQ(WriteFileAtomic(dir / "atomic", "x"), 0);
  made["atomic"] = ModeOf(dir / "atomic");
  ASSERT_EQ(AppendToFile(dir / "log", "line\r\n"), 0);
  made["log"] = ModeOf(dir / "log");
  ASSERT_EQ(TruncateFile(dir / "emptied"), 0);
  made["emptied"] = ModeOf(dir / "emptied");
  ASSERT_EQ(WriteProfileString(dir / "NEW.INI", "SETUP", "pwd", "2ABCD"), 0);
  made["profile"] = ModeOf(dir / "NEW.INI");
  {
    CLockFile lock;
    ASSERT_EQ(lock.TryAcquire(dir / "USER.LCK"), LockAttempt::kHeld);
    made["lock"] = ModeOf(dir / "USER.LCK");
    CBusyMarker marker;
    ASSERT_TRUE(marker.Create(dir / "B0000001.TMP"));
    made["marker"] = ModeOf(dir / "B0000001.TMP");
    CExclusiveFile numbering;
    ASSERT_TRUE(numbering.TryCreate(dir / "useqf.tri"));
    made["numbering"] = ModeOf(dir / "useqf.tri");
    CInstanceLock instance;
    long holder = 0;
    ASSERT_EQ(instance.Acquire(dir / ".quorvale-instance", &holder), 0);
    made["instance"] = ModeOf(dir / ".quorvale-instance");
  }
  for (const auto& [name, mode] : made) EXPECT_EQ(mode, 0600u) << name;

  ASSERT_EQ(MakeDirectory(dir / "INQUEUE"), 0);
  EXPECT_EQ(ModeOf(dir / "INQUEUE"), 0700u);
  ASSERT_EQ(MakeDirectoryTree(dir / "OUTQUEUE/MAILHUB"), 0);
  EXPECT_EQ(ModeOf(dir / "OUTQUEUE"), 0700u);
  EXPECT_EQ(ModeOf(dir / "OUTQUEUE/MAILHUB"), 0700u);
  // An existing directory is left as it is.
  ASSERT_EQ(::chmod((dir / "INQUEUE").c_str(), 0750), 0);
  ASSERT_EQ(MakeDirectory(dir / "INQUEUE"), 0);
  EXPECT_EQ(ModeOf(dir / "INQUEUE"), 0750u);
}

TEST(FileModesTest, ReplacingAFileKeepsOwnerAndGroupModeAndClosesItToOthers) {
  CUmask open(0);
  CTempDir dir;
  ASSERT_EQ(WriteFileAtomic(dir / "NEXUM2.INI", "[SMTP]\r\n"), 0);
  ASSERT_EQ(::chmod((dir / "NEXUM2.INI").c_str(), 0640), 0);
  ASSERT_EQ(WriteProfileString(dir / "NEXUM2.INI", "SMTP", "Domain", "example.test"), 0);
  EXPECT_EQ(ModeOf(dir / "NEXUM2.INI"), 0640u);  // a group meant to read it still can
  ASSERT_EQ(WriteFileAtomic(dir / "START.BAT", "#!/bin/sh\n"), 0);
  ASSERT_EQ(MakeExecutable(dir / "START.BAT"), 0);
  ASSERT_EQ(WriteFileAtomic(dir / "START.BAT", "#!/bin/sh\nexit 0\n"), 0);
  EXPECT_EQ(ModeOf(dir / "START.BAT"), 0750u);
  // A file made by hand under umask 0.
  {
    CUniqueFd hand(::open((dir / "MAILBOX.INI").c_str(), O_WRONLY | O_CREAT, 0666));
    ASSERT_TRUE(hand);
  }
  ASSERT_EQ(ModeOf(dir / "MAILBOX.INI"), 0666u);
  ASSERT_EQ(WriteProfileString(dir / "MAILBOX.INI", "SETUP", "pwd", "2ABCD"), 0);
  EXPECT_EQ(ModeOf(dir / "MAILBOX.INI"), 0660u);
  // Appending and emptying leave the mode of an existing file alone.
  ASSERT_EQ(AppendToFile(dir / "NEXUM2.INI", ""), 0);
  ASSERT_EQ(TruncateFile(dir / "START.BAT"), 0);
  EXPECT_EQ(ModeOf(dir / "NEXUM2.INI"), 0640u);
  EXPECT_EQ(ModeOf(dir / "START.BAT"), 0750u);
}

TEST(FileModesTest, SignalSocketIsOwnerAndGroupOnlyWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{077}}) {
    CUmask set(mask);
    CTempDir dir;
    CSignalSocket socket;
    ASSERT_EQ(socket.Bind(dir.path(), 4242), 0);
    EXPECT_EQ(ModeOf(SignalSocketPath(dir.path(), 4242)), 0660u) << "umask " << mask;
  }
}

TEST(FileModesTest, WalkReportsLinksWithoutFollowingAndChangeModeSetsPermissionBits) {
  CTempDir dir, outside;
  ASSERT_EQ(MakeDirectoryTree(dir / "MAILIN/alice"), 0);
  ASSERT_EQ(WriteFileAtomic(dir / "MAILIN/alice/m0000001.mim", "x"), 0);
  ASSERT_EQ(WriteFileAtomic(outside / "secret", "x"), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "MAILIN/elsewhere").c_str()), 0);
  std::map<std::string, unsigned> seen;
  WalkEntries(dir / "MAILIN", true, [&](const std::string& p, unsigned m) { seen[p] = m; });
  EXPECT_EQ(seen.size(), 4u);  // MAILIN, alice, the message, the link (not what it points to)
  EXPECT_TRUE(S_ISLNK(seen[dir / "MAILIN/elsewhere"]));
  EXPECT_TRUE(S_ISREG(seen[dir / "MAILIN/alice/m0000001.mim"]));
  EXPECT_EQ(seen.count(dir / "MAILIN/elsewhere/secret"), 0u);
  seen.clear();
  WalkEntries(dir / "MAILIN", false, [&](const std::string& p, unsigned m) { seen[p] = m; });
  EXPECT_EQ(seen.size(), 1u);
  WalkEntries(dir / "missing", true, [&](const std::string& p, unsigned m) { seen[p] = m; });
  EXPECT_EQ(seen.size(), 1u);

  ASSERT_EQ(ChangeMode(dir / "MAILIN/alice/m0000001.mim", 0100640), 0);
  EXPECT_EQ(ModeOf(dir / "MAILIN/alice/m0000001.mim"), 0640u);
  EXPECT_EQ(ChangeMode(dir / "missing", 0600), -1);
}

int LocalPortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 ? ntohs(sa.sin_port) : -1;
}

// Connects to 127.0.0.1:port and accepts on `listener`; true when both worked.
bool ConnectAndAccept(int listener, int port) {
  CUniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(client.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
  CUniqueFd accepted(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  return static_cast<bool>(accepted);
}

// A port nobody listens on now (the kernel's pick, released again).
int FreePort() {
  CUniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  return LocalPortOf(probe.get());
}

TEST(PreboundTest, AdoptedSocketListensAndAListenerThatWasShutDownCanAdoptItAgain) {
  // Ports are named, as the settings name them: a named port stays bound through a shutdown.
  int port = FreePort();
  ASSERT_GT(port, 0);
  std::string error;
  ASSERT_EQ(PrebindListener("127.0.0.1", port, &error), 0) << error;
  EXPECT_EQ(AdoptPreboundListener("127.0.0.1", port + 1), -1);  // never bound
  EXPECT_EQ(AdoptPreboundListener("127.0.0.2", port), -1);
  // Bound already: the kernel refuses a second socket on it.
  EXPECT_EQ(PrebindListener("127.0.0.1", port, &error), -1);
  EXPECT_NE(error.find("Cannot bind 127.0.0.1:" + std::to_string(port)), std::string::npos);
  CUniqueFd first(AdoptPreboundListener("127.0.0.1", port));
  ASSERT_TRUE(first);
  EXPECT_EQ(LocalPortOf(first.get()), port);
  EXPECT_TRUE(ConnectAndAccept(first.get(), port));
  // A restarting connection server kills its socket (shutdown), closes it and binds again.
  ::shutdown(first.get(), SHUT_RDWR);
  first.Reset();
  CUniqueFd second(AdoptPreboundListener("127.0.0.1", port));
  ASSERT_TRUE(second);
  EXPECT_EQ(LocalPortOf(second.get()), port);
  EXPECT_TRUE(ConnectAndAccept(second.get(), port));

  // Every address: "" and "0.0.0.0" name the same socket.
  int any = FreePort();
  ASSERT_EQ(PrebindListener("", any, &error), 0) << error;
  CUniqueFd anyFd(AdoptPreboundListener("0.0.0.0", any));
  EXPECT_TRUE(anyFd);
  EXPECT_TRUE(ConnectAndAccept(anyFd.get(), any));

  EXPECT_EQ(PrebindListener("not-an-address", 25, &error), -1);
  EXPECT_NE(error.find("not an IPv4 address"), std::string::npos);
  ClosePreboundListeners();
  EXPECT_EQ(AdoptPreboundListener("127.0.0.1", port), -1);
}

TEST(IdentityTest, LookUpRefusesUnknownNamesAndRoot) {
  ServiceIdentity id;
  std::string error;
  EXPECT_EQ(LookUpServiceIdentity("no-such-user-qv", "", &id, &error), -1);
  EXPECT_NE(error.find("no-such-user-qv"), std::string::npos);
  EXPECT_EQ(LookUpServiceIdentity("root", "", &id, &error), -1);
  EXPECT_EQ(LookUpServiceIdentity("nobody", "root", &id, &error), -1);  // group root
  EXPECT_EQ(LookUpServiceIdentity("nobody", "no-such-group-qv", &id, &error), -1);
  ASSERT_EQ(LookUpServiceIdentity("nobody", "", &id, &error), 0) << error;
  EXPECT_EQ(id.uid, 65534u);
  ASSERT_EQ(LookUpServiceIdentity("nobody", "nogroup", &id, &error), 0) << error;
  EXPECT_EQ(id.gid, 65534u);
}

TEST(IdentityTest, RootBecomesTheServiceUserWithoutGroupsAndCannotComeBack) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  // In a child: the switch is for good.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    gid_t extra = 4;  // a supplementary group that must go
    if (::setgroups(1, &extra) != 0) ::_exit(10);
    ServiceIdentity id;
    std::string error;
    if (LookUpServiceIdentity("nobody", "nogroup", &id, &error) != 0) ::_exit(11);
    if (SwitchToServiceIdentity(id, &error) != 0) ::_exit(12);
    uid_t r, e, s;
    gid_t rg, eg, sg;
    if (::getresuid(&r, &e, &s) != 0 || r != 65534 || e != 65534 || s != 65534) ::_exit(13);
    if (::getresgid(&rg, &eg, &sg) != 0 || rg != 65534 || eg != 65534 || sg != 65534) ::_exit(14);
    if (::getgroups(0, nullptr) != 0) ::_exit(15);
    if (RunningAsRoot() || ::setuid(0) == 0) ::_exit(16);
    // A second switch (to anything) fails: no right to change groups any more.
    if (SwitchToServiceIdentity(id, &error) != -1 || error.empty()) ::_exit(17);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace platform
