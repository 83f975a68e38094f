// Finding and closing the home directory's files that others can read.
#include "core/home_modes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "core/startup.h"
#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace core {
namespace {

using testing_support::CTempDir;

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

void Make(const std::string& path, unsigned mode) {
  ASSERT_EQ(platform::WriteFileAtomic(path, "x", false), 0) << path;
  ASSERT_EQ(platform::ChangeMode(path, mode), 0) << path;
}

void MakeDir(const std::string& path, unsigned mode) {
  ASSERT_EQ(platform::MakeDirectoryTree(path), 0) << path;
  ASSERT_EQ(platform::ChangeMode(path, mode), 0) << path;
}

// A home as an older version left it: home and mailbox directories 0755, mail 0644; beside
// them what must not be counted.
class HomeModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_ / "home";
    MakeDir(home_, 0755);
    MakeDir(home_ + "/MAILIN/alice", 0755);
    MakeDir(home_ + "/MAILIN/bob", 0700);
    Make(home_ + "/MAILIN/alice/m0000001.mim", 0644);
    Make(home_ + "/MAILIN/alice/MAILBOX.INI", 0604);
    Make(home_ + "/MAILIN/bob/m0000001.mim", 0666);
    Make(home_ + "/mailbox.cfg", 0644);
    Make(home_ + "/smtpcon.log", 0644);
    MakeDir(home_ + "/inqueue", 0700);  // found without regard to case
    Make(home_ + "/inqueue/R0000001.TMP", 0644);
    MakeDir(home_ + "/OUTQUEUE/MAILHUB", 0701);
    // Not counted: group access, the scripts, directories outside the areas, links.
    Make(home_ + "/NEXUM2.INI", 0640);
    Make(home_ + "/START.BAT", 0755);
    MakeDir(home_ + "/templates", 0755);
    Make(home_ + "/templates/page.html", 0644);
    Make(dir_ / "target", 0644);
    ASSERT_EQ(::symlink((dir_ / "target").c_str(), (home_ + "/MAILIN/alice/link").c_str()), 0);
  }

  CTempDir dir_;
  std::string home_;
};

// home, MAILIN, alice, alice's message and MAILBOX.INI, bob's message, mailbox.cfg,
// smtpcon.log, the envelope, OUTQUEUE/MAILHUB.
constexpr size_t kOpen = 10;

TEST_F(HomeModesTest, FindsEveryEntryOthersCanUseAndListsUpToTheLimit) {
  MakeDir(home_ + "/MAILIN", 0755);
  OpenFiles all = FindFilesOpenToOthers(home_, 100);
  EXPECT_EQ(all.count, kOpen);
  ASSERT_EQ(all.listed.size(), kOpen);
  for (const char* want : {"", "/MAILIN", "/MAILIN/alice", "/MAILIN/alice/m0000001.mim",
                           "/MAILIN/alice/MAILBOX.INI", "/MAILIN/bob/m0000001.mim", "/mailbox.cfg",
                           "/smtpcon.log", "/inqueue/R0000001.TMP", "/OUTQUEUE/MAILHUB"}) {
    EXPECT_NE(std::find(all.listed.begin(), all.listed.end(), home_ + want), all.listed.end())
        << want;
  }

  // The limit: exactly as many as found lists all of them and says no more.
  OpenFiles exact = FindFilesOpenToOthers(home_, kOpen);
  EXPECT_EQ(exact.listed.size(), kOpen);
  std::string text = OpenFilesWarning(home_, exact);
  EXPECT_EQ(text.find(" more"), std::string::npos) << text;
  EXPECT_NE(text.find("(10): "), std::string::npos) << text;
  EXPECT_NE(text.find("quorvale -tighten"), std::string::npos);
  // One fewer: one left unnamed.
  OpenFiles cut = FindFilesOpenToOthers(home_, kOpen - 1);
  EXPECT_EQ(cut.count, kOpen);
  EXPECT_EQ(cut.listed.size(), kOpen - 1);
  EXPECT_NE(OpenFilesWarning(home_, cut).find(" and 1 more."), std::string::npos);
  // The start-up default names at most ten.
  Make(home_ + "/MAILIN/alice/m0000002.mim", 0644);
  OpenFiles more = FindFilesOpenToOthers(home_);
  EXPECT_EQ(more.count, kOpen + 1);
  EXPECT_EQ(more.listed.size(), kMaxListedOpenFiles);
}

TEST_F(HomeModesTest, TightenTakesOthersAccessAwayAndLeavesTheRestAlone) {
  TightenResult result = TightenHome(home_);
  EXPECT_EQ(result.changed, static_cast<int>(kOpen) - 1);  // MAILIN itself was made private
  EXPECT_EQ(result.failed, 0);
  EXPECT_EQ(FindFilesOpenToOthers(home_).count, 0u);
  // Group bits stay: the home keeps 0750 for a group that must reach the signal sockets.
  EXPECT_EQ(ModeOf(home_), 0750u);
  EXPECT_EQ(ModeOf(home_ + "/MAILIN/alice"), 0750u);
  EXPECT_EQ(ModeOf(home_ + "/MAILIN/alice/m0000001.mim"), 0640u);
  EXPECT_EQ(ModeOf(home_ + "/MAILIN/alice/MAILBOX.INI"), 0600u);
  EXPECT_EQ(ModeOf(home_ + "/MAILIN/bob/m0000001.mim"), 0660u);
  EXPECT_EQ(ModeOf(home_ + "/OUTQUEUE/MAILHUB"), 0700u);
  // Untouched: outside the areas, the scripts, and what a link points to.
  EXPECT_EQ(ModeOf(home_ + "/START.BAT"), 0755u);
  EXPECT_EQ(ModeOf(home_ + "/templates/page.html"), 0644u);
  EXPECT_EQ(ModeOf(dir_ / "target"), 0644u);
  EXPECT_EQ(TightenReport(home_, result), "Made 9 files and directories in " + home_ + " private.");
  // A second run has nothing to do.
  EXPECT_EQ(TightenHome(home_).changed, 0);
  EXPECT_NE(TightenReport(home_, {1, 2}).find("2 could not be changed"), std::string::npos);
}

TEST(RunModeTest, TightenIsAModeOfItsOwn) {
  EXPECT_EQ(ParseCommandLine("-tighten"), RunMode::kTighten);
  EXPECT_EQ(ParseCommandLine("-service"), RunMode::kService);
  EXPECT_EQ(ParseCommandLine("tighten"), RunMode::kAsk);
}

}  // namespace
}  // namespace core
