#include "platform/path.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

using testing_support::CTempDir;

TEST(PathTest, ResolvesEachComponentWithoutCase) {
  CTempDir dir;
  ASSERT_EQ(MakeDirectory(dir / "MAILIN"), 0);
  ASSERT_EQ(MakeDirectory(dir / "MAILIN/alice"), 0);
  ASSERT_EQ(WriteFileAtomic(dir / "MAILIN/alice/m0000001.mim", "x"), 0);

  EXPECT_EQ(ResolvePath(dir / "mailin/ALICE/M0000001.MIM"), dir / "MAILIN/alice/m0000001.mim");
  // The existing exact name wins.
  EXPECT_EQ(ResolvePath(dir / "MAILIN"), dir / "MAILIN");
  // Missing components are kept as given, including everything after the first missing one.
  EXPECT_EQ(ResolvePath(dir / "mailin/Bob/INBOX/x"), dir / "MAILIN/Bob/INBOX/x");
  // Backslashes from settings files become separators.
  EXPECT_EQ(ResolvePath(dir.path() + "\\Mailin\\alice"), dir / "MAILIN/alice");
}

TEST(PathTest, PathBelowFollowsLinksAndDotsAndNeverTakesASiblingPrefix) {
  CTempDir dir;
  ASSERT_EQ(MakeDirectory(dir / "www"), 0);
  ASSERT_EQ(MakeDirectory(dir / "www/sub"), 0);
  ASSERT_EQ(MakeDirectory(dir / "wwwx"), 0);
  ASSERT_EQ(::symlink((dir / "wwwx").c_str(), (dir / "www/out").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "www/sub").c_str(), (dir / "www/in").c_str()), 0);

  EXPECT_TRUE(PathBelow(dir / "www/sub/page.htm", dir / "www"));  // need not exist yet
  EXPECT_TRUE(PathBelow(dir / "www/in/page.htm", dir / "www"));
  EXPECT_TRUE(PathBelow(dir / "www/sub/../page.htm", dir / "www/"));
  EXPECT_FALSE(PathBelow(dir / "www", dir / "www"));  // the directory itself is not below it
  EXPECT_FALSE(PathBelow(dir / "www/../wwwx/page.htm", dir / "www"));
  EXPECT_FALSE(PathBelow(dir / "wwwx/page.htm", dir / "www"));  // a longer name, not a child
  EXPECT_FALSE(PathBelow(dir / "www/out/page.htm", dir / "www"));  // a link leading out
  EXPECT_FALSE(PathBelow(dir / "www/sub/../../wwwx", dir / "www"));
  EXPECT_FALSE(PathBelow("", dir / "www"));
  EXPECT_FALSE(PathBelow(dir / "www/x", ""));
  EXPECT_TRUE(PathBelow(dir / "www/x", "/"));  // every other path is below the root
  EXPECT_FALSE(PathBelow("/", "/"));
}

TEST(PathTest, ResolvesRelativeToCurrentDirectory) {
  CTempDir dir;
  ASSERT_EQ(MakeDirectory(dir / "INQUEUE"), 0);
  std::string saved = CurrentDirectory();
  ASSERT_EQ(ChangeDirectory(dir.path()), 0);
  EXPECT_EQ(ResolvePath("inqueue/R0000001.MIM"), "INQUEUE/R0000001.MIM");
  ASSERT_EQ(ChangeDirectory(saved), 0);
}

TEST(PathTest, WildcardsMatchWithoutCase) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"M*.MIM", "m0000001.mim", true}, {"M*.MIM", "M0000001.MIM", true},
      {"M*.MIM", "R0000001.MIM", false}, {"*", "", true},
      {"*.*", "noext", false},           {"a?c", "ABC", true},
      {"a?c", "ac", false},              {"*a*b*c*", "xxAyyBzzC", true},
      {"*a*b*c*", "xxAyyCzzB", false},   {"abc", "abcd", false},
      {"**", "anything", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatchNoCase(c.pattern, c.name), c.match) << c.pattern << " ~ " << c.name;
  }
}

TEST(PathTest, FindFilesListsSortedMatchesOfTheRequestedKind) {
  CTempDir dir;
  for (const char* n : {"M0000002.MIM", "m0000001.mim", "B0000003.MIM", "R0000001.MIM"}) {
    ASSERT_EQ(WriteFileAtomic(dir / n, "x"), 0);
  }
  ASSERT_EQ(MakeDirectory(dir / "M0000009.MIM"), 0);  // a directory never counts as a file
  EXPECT_EQ(FindFiles(dir.path(), "m*.mim"),
            (std::vector<std::string>{"M0000002.MIM", "m0000001.mim"}));
  EXPECT_EQ(FindFiles(dir.path(), "M*", EntryKind::kDirectories),
            (std::vector<std::string>{"M0000009.MIM"}));
  EXPECT_TRUE(FindFiles(dir / "missing", "*").empty());
}

// One reading of a directory gives the answers ResolvePath and FindFiles give name by name.
TEST(PathTest, ListingAnswersLikeResolutionWithTheSameCaseRules) {
  CTempDir dir;
  for (const char* n : {"m0000001.mim", "M0000001.mim", "M0000002.MIM", "b0000002.mim", "useqf"}) {
    ASSERT_EQ(WriteFileAtomic(dir / n, "x"), 0);
  }
  ASSERT_EQ(MakeDirectory(dir / "Sub"), 0);
  CDirectoryListing listing;
  ASSERT_TRUE(listing.Read(dir.path()));
  EXPECT_EQ(listing.Directory(), dir.path());
  EXPECT_EQ(listing.Size(), 6u);
  // Exact spelling first; else the first entry (byte-wise) equal without case; else nothing.
  for (const char* asked : {"m0000001.mim", "M0000001.mim", "M0000001.MIM", "m0000001.MIM",
                            "B0000002.MIM", "USEQF", "sub", "M0000003.MIM", "M0000001.MI"}) {
    std::string resolved = ResolvePath(dir / asked);
    const std::string* found = listing.Find(asked);
    EXPECT_EQ(found ? dir / *found : dir / asked, resolved) << asked;
    EXPECT_EQ(listing.PathOf(asked), resolved) << asked;
  }
  EXPECT_EQ(*listing.Find("M0000001.MIM"), "M0000001.mim");
  EXPECT_EQ(listing.Find("M0000003.MIM"), nullptr);
  EXPECT_TRUE(listing.ExistsExactly("b0000002.mim"));
  EXPECT_FALSE(listing.ExistsExactly("B0000002.MIM"));
  EXPECT_TRUE(listing.Exists("B0000002.MIM"));
  EXPECT_EQ(listing.Match("m*.mim"), FindFiles(dir.path(), "m*.mim"));
  EXPECT_EQ(listing.Match("m*.mim"),
            (std::vector<std::string>{"M0000001.mim", "M0000002.MIM", "m0000001.mim"}));
  EXPECT_EQ(listing.Match("S*", EntryKind::kDirectories), (std::vector<std::string>{"Sub"}));
  EXPECT_EQ(listing.Match("S*", EntryKind::kFiles), (std::vector<std::string>{}));
  EXPECT_EQ(listing.Match("*", EntryKind::kAll).size(), 6u);

  // A directory that cannot be read lists nothing (and names resolve as given).
  CDirectoryListing missing;
  EXPECT_FALSE(missing.Read(dir / "none"));
  EXPECT_EQ(missing.Size(), 0u);
  EXPECT_FALSE(missing.Exists("x"));
  EXPECT_EQ(missing.PathOf("X"), dir / "none/X");
}

TEST(PathTest, SiblingAndExtensionKeepCaseAndStayInTheFileName) {
  EXPECT_EQ(SiblingName("/h/INQUEUE/M0000001.MIM", 'r'), "/h/INQUEUE/R0000001.MIM");
  EXPECT_EQ(SiblingName("/h/inqueue/m0000001.mim", 'R'), "/h/inqueue/r0000001.mim");
  EXPECT_EQ(ReplaceExtension("/h/NEXUM2.INI", "LCK"), "/h/NEXUM2.LCK");
  EXPECT_EQ(ReplaceExtension("/h/my.home/USER", "LCK"), "/h/my.home/USER.LCK");
  EXPECT_EQ(ReplaceExtension("/h/my.home/USER.INI", "LCK"), "/h/my.home/USER.LCK");
}

TEST(PathTest, BareProfileNamesLiveInTheWindowsDirectory) {
  CTempDir dir;
  ::setenv("WINDIR", dir.path().c_str(), 1);
  EXPECT_EQ(WindowsDirectory(), dir.path());
  EXPECT_EQ(ProfilePath("TORVIK.INI"), dir / "TORVIK.INI");
  EXPECT_EQ(ProfilePath("/x/NEXUM2.INI"), "/x/NEXUM2.INI");
  ::unsetenv("WINDIR");
  EXPECT_EQ(WindowsDirectory(), "/etc/quorvale");
}

}  // namespace
}  // namespace platform
