// Request text never becomes markup, a directive, a reference, a path outside the page's roots or
// a program to run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "web/template/form_pages.h"
#include "web/template/safe_files.h"
#include "web/template/tests/fake_host.h"

namespace web {
namespace {

using web_test::CFakeHost;
using web_test::Render;

class Security : public ::testing::Test {
 protected:
  void SetUp() override { host.Account("sales"); }
  CFakeHost host;
  CTemplateRequest req{&host};
  std::string Run(const std::string& text) { return Render(host, req, text); }
};

TEST_F(Security, RequestValuesAreEscapedProgramValuesAreNot) {
  req.vars.SetRequest("f", "<script>(*secret*)");
  req.vars.Set("secret", "S");
  req.vars.Set("html", "<B>bold</B>");
  EXPECT_EQ(Run("(*f*)|(*html*)\n"), "&lt;script&gt;(&#42;secret*)|<B>bold</B>\n");
  // SET keeps the origin of what it copies.
  EXPECT_EQ(Run("<!--ISW SET g=\"pre \"&(*f*) -->(*g*)\n"), "pre &lt;script&gt;(&#42;secret*)\n");
  EXPECT_EQ(Run("<!--ISW OPTION NAME=o VALUE=(*f*) -->\n"),
            "<OPTION>&lt;script&gt;(&#42;secret*)\n");
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=1 TO=1 FMT=\"(*f*)\" -->\n"),
            "&lt;script&gt;(&#42;secret*)\n");
  req.vars.SetRequest("open", "(");
  req.vars.SetRequest("rest", "*secret*)");
  EXPECT_EQ(Run("(*open*)(*rest*)\n"), "&#40;&#42;secret*)\n");
}

TEST_F(Security, SavedFormValuesCannotRunDirectivesWhenThePageRuns) {
  host.realPrograms = true;
  std::string marker = host.dir / "pwned";
  host.Write("MAILIN/sales/gen.tpl", "<P>(*comment*)</P>\n");
  host.Write("MAILIN/sales/secret.txt", "TOPSECRET");
  FormFields f = {
      {"_account_", "sales"},
      {"comment", "<!--ISW SYSTEM CMD=\"touch " + marker +
                      "\" WAIT -->"
                      "<!--ISW DUMP FILE=secret.txt -->"
                      "<!--ISW INI-SAVE FILE=x.ini SECTION=S KEYS=* a=1 -->(*_account_*)"},
      {"_outtemp_", "gen.tpl"},
      {"_outpage_", "out.htm"},
      {"_answer_", "out.htm"}};
  ASSERT_EQ(ProcessForm(req, f), 0);
  // The generated page, run as the answer, shows the text and does none of it.
  EXPECT_TRUE(host.programs.empty());
  EXPECT_FALSE(platform::FileExists(marker));
  EXPECT_FALSE(platform::FileExists(host.dir / "MAILIN/sales/x.ini"));
  EXPECT_EQ(host.page.find("TOPSECRET"), std::string::npos);
  EXPECT_NE(host.page.find("&lt;!--ISW SYSTEM"), std::string::npos) << host.page;
  EXPECT_NE(host.page.find("(&#42;_account_*)"), std::string::npos);
}

TEST_F(Security, RequestPathsStayInsideTheRoots) {
  host.Write("outside.txt", "OUTSIDE");
  host.Write("www/inside.txt", "INSIDE");
  req.vars.SetRequest("p", host.dir / "outside.txt");
  EXPECT_EQ(Run("<!--ISW DUMP FILE=(*p*) -->\n"),
            "Cannot open file [" + host.dir / "outside.txt" + "]<BR>\n");
  req.vars.SetRequest("p", "../outside.txt");
  EXPECT_EQ(Run("<!--ISW INCLUDE FILE=(*p*) -->\n").find("OUTSIDE"), std::string::npos);
  req.vars.SetRequest("p", "inside.txt");
  EXPECT_EQ(Run("<!--ISW DUMP FILE=(*p*) -->\n"), "INSIDE\n");
  // The same path from the template itself is the administrator's choice.
  EXPECT_EQ(Run("<!--ISW DUMP FILE=../outside.txt -->\n"), "OUTSIDE\n");
  // A symbolic link inside a root that points out of it is outside.
  ASSERT_EQ(::symlink((host.dir / "outside.txt").c_str(), (host.dir / "www/link.txt").c_str()), 0);
  req.vars.SetRequest("p", "link.txt");
  EXPECT_EQ(Run("<!--ISW DUMP FILE=(*p*) -->\n").find("OUTSIDE"), std::string::npos);
  // Writers too: MERGE WRITE, INI-SAVE FILE and LINK PAGE.
  host.Write("www/m.htm", "m\n");
  req.vars.SetRequest("p", host.dir / "evil.htm");
  Run("<!--ISW MERGE TEMPLATE=m.htm WRITE=(*p*) -->\n");
  Run("<!--ISW INI-SAVE FILE=(*p*) SECTION=S KEYS=* a=1 -->\n");
  Run("<!--ISW LINK MENU=m PAGE=(*p*) URL=u TXT=t -->\n");
  EXPECT_FALSE(platform::FileExists(host.dir / "evil.htm"));
}

TEST(SafeFiles, PathInsideRoots) {
  testing_support::CTempDir dir;
  (void)platform::MakeDirectory(dir / "root");
  std::vector<std::string> roots = {dir / "root"};
  EXPECT_TRUE(PathInsideRoots(dir / "root/a/b.htm", roots));
  EXPECT_FALSE(PathInsideRoots(dir / "root", roots));  // the root itself is not a file in it
  EXPECT_FALSE(PathInsideRoots(dir / "root/../x", roots));
  EXPECT_FALSE(PathInsideRoots(dir / "rootx/a", roots));
  EXPECT_FALSE(PathInsideRoots(dir / "root/a", {}));
  EXPECT_FALSE(PathInsideRoots(dir / "root/a", {""}));
}

TEST(SafeFiles, ProtectedFileNames) {
  for (const char* name :
       {"MAILBOX.INI", "mailbox.ini", "Members.Ini", "WEBSITE.INI", "address.txt", "USERSIGN.TXT",
        "m0000001.mim", "MIM.TMP", "x.lck", "menu.bak", ".hidden", "a/b/.x", "Vacation.txt"}) {
    EXPECT_TRUE(ProtectedFileName(std::string("/h/MAILIN/a/") + name)) << name;
  }
  for (const char* name : {"page.htm", "data.ini", "MAILBOX.INI.htm", "notes.txt", "mim"}) {
    EXPECT_FALSE(ProtectedFileName(std::string("/h/MAILIN/a/") + name)) << name;
  }
}

TEST_F(Security, TheAccountsOwnFilesAreOutOfReachOfRequestPaths) {
  std::string ini = host.Account("sales", "[SETUP]\r\npwd=2ABSECRETSCRAMBLE\r\n") + "/MAILBOX.INI";
  host.Write("MAILIN/sales/gen.tpl", "[SETUP]\r\npwd=(*p*)\r\n");
  host.Write("kaldor/theaders.htm", "");
  host.Write("kaldor/tfooters.htm", "");
  // Run as the answer page, MAILBOX.INI would show the scrambled password.
  ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"}, {"_answer_", "MAILBOX.INI"}}), 0);
  EXPECT_EQ(host.page.find("SECRET"), std::string::npos) << host.page;
  // Written as the output page, it would take the password the form sends.
  ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"},
                              {"p", "2AAEVIL"},
                              {"_outtemp_", "gen.tpl"},
                              {"_outpage_", "mailbox.ini"},
                              {"_answer_", "gen.tpl"}}),
            0);
  EXPECT_EQ(testing_support::Read(ini), "[SETUP]\r\npwd=2ABSECRETSCRAMBLE\r\n");
  // Nor can a template's FILE attribute reach it through request text.
  req.accountDir = host.dir / "MAILIN/sales";
  host.Write("MAILIN/sales/t.htm", "<!--ISW DUMP FILE=(*f*) -->\n");
  req.vars.SetRequest("f", "MAILBOX.INI");
  host.page.clear();
  ASSERT_EQ(RunTemplate(req, host.dir / "MAILIN/sales/t.htm"), 0);
  EXPECT_EQ(host.page.find("SECRET"), std::string::npos) << host.page;
  // The template's own text may (the administrator wrote it).
  host.Write("MAILIN/sales/t.htm", "<!--ISW DUMP FILE=MAILBOX.INI -->\n");
  host.page.clear();
  ASSERT_EQ(RunTemplate(req, host.dir / "MAILIN/sales/t.htm"), 0);
  EXPECT_NE(host.page.find("SECRET"), std::string::npos);
}

// A form's output page cannot replace the texts the account answers its senders with: the
// vacation reply and the auto-reply file its settings name. Its other pages it may write.
TEST_F(Security, TheAccountsReplyTextsAreOutOfReachOfRequestPaths) {
  std::string dir = host.Account("sales", "[SETUP]\r\nAutoReplyFilename=Answer.txt\r\n");
  std::string vacation = host.Write("MAILIN/sales/vacation.txt", "Back on Monday.\r\n");
  std::string answer = host.Write("MAILIN/sales/answer.txt", "Thank you.\r\n");
  host.Write("MAILIN/sales/gen.tpl", "Send the money to (*p*)\r\n");
  host.Write("kaldor/theaders.htm", "");
  host.Write("kaldor/tfooters.htm", "");
  for (const char* page : {"vacation.txt", "VACATION.TXT", "answer.txt", "ANSWER.TXT"}) {
    ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"},
                                {"p", "evil@attacker.test"},
                                {"_outtemp_", "gen.tpl"},
                                {"_outpage_", page},
                                {"_answer_", "gen.tpl"}}),
              0);
  }
  EXPECT_EQ(testing_support::Read(vacation), "Back on Monday.\r\n");
  EXPECT_EQ(testing_support::Read(answer), "Thank you.\r\n");
  ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"},
                              {"p", "the shop"},
                              {"_outtemp_", "gen.tpl"},
                              {"_outpage_", "notes.txt"},
                              {"_answer_", "gen.tpl"}}),
            0);
  EXPECT_EQ(testing_support::Read(dir + "/notes.txt"), "Send the money to the shop\r\n");
}

TEST(SafeFiles, AWriterThatDiesLeavesTheOldFileAndNoLock) {
  testing_support::CTempDir dir;
  std::string path = dir / "page.htm";
  ASSERT_EQ(platform::WriteFileAtomic(path, "old\n", false), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CReplacedFile f;
    if (f.Open(path, true) != 0 || f.Write(std::string(100000, 'n')) != 0) ::_exit(2);
    ::_exit(0);  // dies holding the lock, before Commit, without clean-up
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(testing_support::Read(path), "old\n");
  // Its lock went with it: the next writer gets in at once and appends to the old content.
  CReplacedFile next;
  ASSERT_EQ(next.Open(path, true, 1000), 0);
  ASSERT_EQ(next.Write("new\n"), 0);
  ASSERT_EQ(next.Commit(), 0);
  EXPECT_EQ(testing_support::Read(path), "old\nnew\n");
}

TEST(SafeFiles, ALockHeldTooLongIsAFailureNotAWait) {
  testing_support::CTempDir dir;
  std::string path = dir / "page.htm";
  CReplacedFile first;
  ASSERT_EQ(first.Open(path, false), 0);
  CReplacedFile second;
  EXPECT_EQ(second.Open(path, false, 100), -1);
  ASSERT_EQ(first.Write("1"), 0);
  ASSERT_EQ(first.Commit(), 0);
  ASSERT_EQ(second.Open(path, false, 100), 0);
  second.Abandon();  // nothing written: the file stays
  EXPECT_EQ(testing_support::Read(path), "1");
  EXPECT_FALSE(platform::FileExists(path + ".lck"));
}

TEST_F(Security, FormAnswerPathsRefuseEscapes) {
  host.Write("MAILIN/sales/ok.htm", "OK\n");
  host.Write("www/pub.htm", "PUB\n");
  host.Write("kaldor/theaders.htm", "");
  host.Write("kaldor/tfooters.htm", "");
  ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"}, {"_answer_", "..\\..\\www\\pub.htm"}}), 0);
  EXPECT_EQ(host.page.find("PUB"), std::string::npos);
  host.page.clear();
  ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"}, {"_answer_", "\\pub.htm"}}), 0);
  EXPECT_EQ(host.page.substr(0, 4), "PUB\n");  // a leading "\" is the web root
  host.page.clear();
  ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"}, {"_answer_", "ok.htm"}}), 0);
  EXPECT_EQ(host.page.substr(0, 3), "OK\n");
}

TEST_F(Security, SystemNeverRunsRequestTextAsAProgram) {
  req.vars.SetRequest("f", "x; touch pwned");
  EXPECT_EQ(Run("<!--ISW SYSTEM CMD=(*f*) -->\n"), "<BR>Command refused<BR>\n");
  req.vars.SetRequest("prog", "rm");
  EXPECT_EQ(Run("<!--ISW SYSTEM CMD=(*prog*)&\" -rf x\" -->\n"), "<BR>Command refused<BR>\n");
  EXPECT_TRUE(host.programs.empty());
  Run("<!--ISW SYSTEM CMD=\"/bin/echo arg \"&(*f*)&\" end\" WAIT -->\n");
  ASSERT_EQ(host.programs.size(), 1u);
  EXPECT_FALSE(host.programs[0].useShell);
  EXPECT_EQ(host.programs[0].argv,
            (std::vector<std::string>{"/bin/echo", "arg", "x; touch pwned", "end"}));
}

TEST_F(Security, SystemArgumentsReachTheProgramUnchanged) {
  host.realPrograms = true;
  std::string script = host.Write("www/args.sh", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$1.out\"\n");
  ASSERT_EQ(platform::MakeExecutable(script), 0);
  req.vars.SetRequest("f", "a b;$(touch " + host.dir / "pwned" + ")");
  std::string base = host.dir / "res";
  Run("<!--ISW SYSTEM CMD=\"" + script + " " + base + " \"&(*f*) WAIT -->\n");
  EXPECT_EQ(testing_support::Read(base + ".out"),
            base + "|a b;$(touch " + host.dir / "pwned" + ")|");
  EXPECT_FALSE(platform::FileExists(host.dir / "pwned"));
}

TEST_F(Security, LinkEntriesFromRequestTextAreEscaped) {
  std::string page =
      host.Write("www/menu.htm", "<!--ISW MENU NAME=\"m\" -->\n<!--ISW MENU NAME=\"m\" -->\n");
  req.vars.SetRequest("t", "<!--ISW SYSTEM CMD=x -->");
  Run("<!--ISW LINK MENU=m PAGE=menu.htm URL=u.htm TXT=(*t*) -->\n");
  std::string text = testing_support::Read(page);
  EXPECT_EQ(text.find("<!--ISW SYSTEM"), std::string::npos);
  EXPECT_NE(text.find("&lt;!--ISW SYSTEM CMD=x --&gt;"), std::string::npos) << text;
}

}  // namespace
}  // namespace web
