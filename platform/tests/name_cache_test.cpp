// Lookups of names missing as written, in big directories whose names are kept in memory: the
// answers must be the ones a fresh reading of the directory gives, whatever changed in between
// and whoever changed it, and a big directory is not read again for each lookup.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fs.h"
#include "platform/name_cache_internal.h"
#include "platform/path.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

using testing_support::CTempDir;

uint64_t Readings() { return CNameCache::Instance().Readings(); }

// `count` messages, as a mailbox holds them.
void FillMailbox(const std::string& dir, size_t count) {
  for (size_t i = 1; i <= count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/m%07zu.mim", i);
    std::ofstream(dir + name) << "x";
  }
}

// Two lookups of a missing name: the first finds the directory big, the second keeps its names.
void KeepNames(const std::string& dir) {
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ResolvePath(JoinPath(dir, "absent.txt")), JoinPath(dir, "absent.txt"));
  }
}

void Touch(const std::string& path) { ASSERT_TRUE(std::ofstream(path) << "x") << path; }

// What a fresh reading of the directory says `name` resolves to.
std::string Fresh(const std::string& dir, const std::string& name) {
  CDirectoryListing listing;
  if (!listing.Read(dir)) return JoinPath(dir, name);
  return listing.PathOf(name);
}

// Resolves `names` in `dir` and checks each against a fresh reading.
void ExpectAsFresh(const std::string& dir, std::initializer_list<const char*> names) {
  for (const char* n : names) EXPECT_EQ(ResolvePath(JoinPath(dir, n)), Fresh(dir, n)) << n;
}

TEST(NameCacheTest, ABigDirectoryIsReadTwiceForManyMissingNames) {
  CTempDir dir;
  FillMailbox(dir.path(), 1000);
  uint64_t before = Readings();
  for (int i = 0; i < 50; ++i) {
    for (const char* n : {"vacation.txt", "VACATION.SENT", "forward.txt", "m9999999.mim"}) {
      ASSERT_EQ(ResolvePath(dir / n), dir / n);
    }
  }
  uint64_t after = Readings();
  EXPECT_LE(after, before + 2);  // found big, then kept
  // A name present in another case is found from memory too.
  EXPECT_EQ(ResolvePath(dir / "M0000500.MIM"), dir / "m0000500.mim");
  EXPECT_EQ(Readings(), after);
}

TEST(NameCacheTest, DirectoriesBelowTheLimitAreReadForEachLookup) {
  for (size_t entries : {CNameCache::kMinEntries - 1, CNameCache::kMinEntries}) {
    CTempDir dir;
    FillMailbox(dir.path(), entries);
    // At most two readings make a big directory's names kept.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(ResolvePath(dir / "vacation.txt"), dir / "vacation.txt");
    uint64_t before = Readings();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(ResolvePath(dir / "vacation.txt"), dir / "vacation.txt");
    ASSERT_EQ(ResolvePath(dir / "M0000001.MIM"), dir / "m0000001.mim");
    EXPECT_EQ(Readings(), before + (entries < CNameCache::kMinEntries ? 4 : 0)) << entries;
  }
}

TEST(NameCacheTest, FilesMadeAndRemovedBetweenLookupsAreSeenInEveryCase) {
  CTempDir dir;
  FillMailbox(dir.path(), 500);
  KeepNames(dir.path());
  uint64_t before = Readings();

  Touch(dir / "VACATION.TXT");
  for (const char* asked : {"vacation.txt", "Vacation.Txt", "VACATION.TXT", "vacation.TXT"}) {
    EXPECT_EQ(ResolvePath(dir / asked), dir / "VACATION.TXT") << asked;
  }
  // A second spelling: the first one byte-wise is taken, the exact one when asked for.
  Touch(dir / "Vacation.Txt");
  EXPECT_EQ(ResolvePath(dir / "vacation.txt"), dir / "VACATION.TXT");
  EXPECT_EQ(ResolvePath(dir / "Vacation.Txt"), dir / "Vacation.Txt");
  ASSERT_EQ(RemoveFile(dir / "VACATION.TXT"), 0);
  EXPECT_EQ(ResolvePath(dir / "vacation.txt"), dir / "Vacation.Txt");
  EXPECT_EQ(ResolvePath(dir / "VACATION.TXT"), dir / "Vacation.Txt");
  ASSERT_EQ(RemoveFile(dir / "Vacation.Txt"), 0);
  EXPECT_EQ(ResolvePath(dir / "VACATION.TXT"), dir / "VACATION.TXT");

  // A message removed is gone in every case; one made again is back.
  ASSERT_EQ(RemoveFile(dir / "m0000007.mim"), 0);
  EXPECT_EQ(ResolvePath(dir / "M0000007.MIM"), dir / "M0000007.MIM");
  Touch(dir / "m0000007.mim");
  EXPECT_EQ(ResolvePath(dir / "M0000007.MIM"), dir / "m0000007.mim");

  // Directories count as entries too.
  ASSERT_EQ(MakeDirectory(dir / "Sub"), 0);
  EXPECT_EQ(ResolvePath(dir / "SUB"), dir / "Sub");
  ASSERT_EQ(::rmdir((dir / "Sub").c_str()), 0);
  EXPECT_EQ(ResolvePath(dir / "SUB"), dir / "SUB");

  EXPECT_EQ(Readings(), before);  // all of it from memory
  ExpectAsFresh(dir.path(), {"vacation.txt", "M0000007.MIM", "sub", "M0000499.MIM"});
}

TEST(NameCacheTest, RenamesIntoOutOfAndWithinTheDirectoryAreSeen) {
  CTempDir dir;
  ASSERT_EQ(MakeDirectory(dir / "box"), 0);
  ASSERT_EQ(MakeDirectory(dir / "other"), 0);
  std::string box = dir / "box";
  FillMailbox(box, 200);
  KeepNames(box);

  Touch(dir / "other/FORWARD.TXT");
  ASSERT_EQ(RenameFile(dir / "other/FORWARD.TXT", box + "/FORWARD.TXT"), 0);
  EXPECT_EQ(ResolvePath(box + "/forward.txt"), box + "/FORWARD.TXT");
  // Renamed to another case of the same name.
  ASSERT_EQ(RenameFile(box + "/FORWARD.TXT", box + "/Forward.txt"), 0);
  EXPECT_EQ(ResolvePath(box + "/forward.txt"), box + "/Forward.txt");
  ASSERT_EQ(RenameFile(box + "/Forward.txt", dir / "other/f"), 0);
  EXPECT_EQ(ResolvePath(box + "/FORWARD.TXT"), box + "/FORWARD.TXT");
  ExpectAsFresh(box, {"forward.txt", "M0000200.MIM"});
}

// A new file is made under the spelling that exists, never beside it in a second one.
TEST(NameCacheTest, AFileWrittenThroughAnotherCaseReplacesTheExistingOne) {
  CTempDir dir;
  FillMailbox(dir.path(), 300);
  KeepNames(dir.path());
  Touch(dir / "VACATION.SENT");
  ASSERT_EQ(WriteFileAtomic(ResolvePath(dir / "vacation.sent"), "a@b.test\r\n"), 0);
  EXPECT_EQ(FindFiles(dir.path(), "vacation.*"), (std::vector<std::string>{"VACATION.SENT"}));
  EXPECT_EQ(testing_support::Read(dir / "VACATION.SENT"), "a@b.test\r\n");
}

TEST(NameCacheTest, ADirectoryReplacedUnderItsNameIsReadAgain) {
  CTempDir dir;
  std::string box = dir / "alice";
  ASSERT_EQ(MakeDirectory(box), 0);
  FillMailbox(box, 200);
  KeepNames(box);
  ASSERT_EQ(RenameFile(box, dir / "alice.old"), 0);
  ASSERT_EQ(MakeDirectory(box), 0);
  FillMailbox(box, 100);
  Touch(box + "/REPLY.TXT");
  EXPECT_EQ(ResolvePath(box + "/reply.txt"), box + "/REPLY.TXT");
  // The old one, under its new name, is still answered for.
  EXPECT_EQ(ResolvePath(dir / "alice.old/REPLY.TXT"), dir / "alice.old/REPLY.TXT");
  Touch(dir / "alice.old/Reply.Txt");
  EXPECT_EQ(ResolvePath(dir / "alice.old/REPLY.TXT"), dir / "alice.old/Reply.Txt");
  // Removed altogether: names are taken as given.
  std::filesystem::remove_all(box);
  EXPECT_EQ(ResolvePath(box + "/reply.txt"), box + "/reply.txt");
}

// Another process's changes are seen; a child process keeps a cache of its own, so the changes
// it makes are seen by it and by the parent alike.
TEST(NameCacheTest, ChangesOfAChildProcessAreSeenByBoth) {
  CTempDir dir;
  FillMailbox(dir.path(), 200);
  KeepNames(dir.path());
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = ResolvePath(dir / "new.txt") == dir / "new.txt";
    std::ofstream(dir / "NEW.TXT") << "x";
    ok = ok && ResolvePath(dir / "new.txt") == dir / "NEW.TXT";
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ResolvePath(dir / "new.txt"), dir / "NEW.TXT");
}

// More changes than the kernel queues notices for: the names kept are dropped and read again.
TEST(NameCacheTest, ChangesBeyondTheNoticeQueueAreReadAgain) {
  long queued = 16384;
  if (std::FILE* f = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
    if (std::fscanf(f, "%ld", &queued) != 1) queued = 16384;
    std::fclose(f);
  }
  if (queued > 100000) GTEST_SKIP() << "notice queue of " << queued << " too long to fill";
  CTempDir dir;
  FillMailbox(dir.path(), 100);
  KeepNames(dir.path());
  // Each rename queues two notices (the name going, the name coming); the change after them is
  // the one that matters.
  Touch(dir / "x");
  for (long i = 0; i <= queued / 2; ++i) {
    ASSERT_EQ(::rename((dir / (i % 2 == 0 ? "x" : "y")).c_str(),
                       (dir / (i % 2 == 0 ? "y" : "x")).c_str()),
              0);
  }
  Touch(dir / "VACATION.TXT");
  uint64_t before = Readings();
  EXPECT_EQ(ResolvePath(dir / "vacation.txt"), dir / "VACATION.TXT");
  EXPECT_EQ(Readings(), before + 1);
  ExpectAsFresh(dir.path(), {"X", "Y", "vacation.txt", "M0000100.MIM"});
}

// The shorter ways through ResolvePath (a path that exists as written; only its last component
// missing) give what resolving each component gives.
TEST(NameCacheTest, ShortcutsOfResolutionKeepItsForm) {
  CTempDir dir;
  ASSERT_EQ(MakeDirectory(dir / "MAILIN"), 0);
  ASSERT_EQ(MakeDirectory(dir / "MAILIN/alice"), 0);
  Touch(dir / "MAILIN/alice/Vacation.txt");
  EXPECT_EQ(ResolvePath(dir.path() + "//MAILIN/./alice/"), dir / "MAILIN/./alice/");
  EXPECT_EQ(ResolvePath(dir / "MAILIN/alice/../alice/VACATION.TXT"),
            dir / "MAILIN/alice/../alice/Vacation.txt");
  EXPECT_EQ(ResolvePath(dir / "mailin/../MAILIN/ALICE/vacation.TXT"),
            dir / "MAILIN/../MAILIN/alice/Vacation.txt");
  EXPECT_EQ(ResolvePath(dir / "MAILIN/alice/missing/VACATION.TXT"),
            dir / "MAILIN/alice/missing/VACATION.TXT");
  // A file is no directory: nothing is found below it.
  EXPECT_EQ(ResolvePath(dir / "MAILIN/alice/Vacation.txt/x"), dir / "MAILIN/alice/Vacation.txt/x");
  EXPECT_EQ(ResolvePath("/"), "/");
}

}  // namespace
}  // namespace platform
