// Template runs: text and references, conditions, the page directives, loops and nesting.
#include <gtest/gtest.h>

#include <algorithm>

#include "web/template/template_parser.h"
#include "web/template/tests/fake_host.h"

namespace web {
namespace {

using web_test::CFakeHost;
using web_test::Render;

class Engine : public ::testing::Test {
 protected:
  CFakeHost host;
  CTemplateRequest req{&host};
  std::string Run(const std::string& text) { return Render(host, req, text); }
};

TEST_F(Engine, ReferencesKnownUnknownDottedAndCut) {
  req.vars.Set("x", "X");
  req.vars.Set("a.b", "never");
  EXPECT_EQ(Run("[(*x*)][(*a.b*)][(*nope*)][(*x (* *)]\n"), "[X][(*a.b*)][(*nope*)][(*x (* *)]\n");
  std::string longName(70, 'n');
  EXPECT_EQ(Run("(*" + longName + "*)"), "(*" + std::string(60, 'n') + "*)");
}

TEST_F(Engine, ReadWithConditions) {
  const std::string line = "<!--ISW READ IF=(*x*) EQ=1 -->Hello\nnext\n";
  req.vars.Set("x", "1");
  EXPECT_EQ(Run(line), "Hello\nnext\n");
  req.vars.Set("x", "2");
  EXPECT_EQ(Run(line), "next\n");
  req.vars.Set("x", "");
  EXPECT_EQ(Run("<!--ISW READ IF=(*x*) -->Hello\n"), "");
  req.vars.Set("x", "v");
  EXPECT_EQ(Run("<!--ISW READ IF=(*x*) -->Hello\n"), "Hello\n");
}

TEST_F(Engine, ComparisonsIncludeEqualityAndFollowTheirOrder) {
  EXPECT_EQ(Run("<!--ISW READ IF=b LT=b -->lt\n"), "lt\n");
  EXPECT_EQ(Run("<!--ISW READ IF=b GT=b -->gt\n"), "gt\n");
  EXPECT_EQ(Run("<!--ISW READ IF=c LT=b -->no\n"), "");
  EXPECT_EQ(Run("<!--ISW READ IF=a GT=b -->no\n"), "");
  EXPECT_EQ(Run("<!--ISW READ IF=a NEQ=b -->neq\n"), "neq\n");
  EXPECT_EQ(Run("<!--ISW READ IF=a NEQ=a -->no\n"), "");
  // EQ wins over the others; byte-wise and case-sensitive.
  EXPECT_EQ(Run("<!--ISW READ IF=a EQ=A LT=z -->no\n"), "");
  // A failed condition skips the rest of the line only.
  EXPECT_EQ(Run("pre<!--ISW SET IF=a EQ=b y=1 -->post\nline2\n"), "preline2\n");
  EXPECT_FALSE(req.vars.Has("y"));
}

TEST_F(Engine, SetAndItsRefusal) {
  req.vars.Set("_jid", "keep");
  EXPECT_EQ(Run("<!--ISW SET color=\"dark \"&(*w*)&'!' -->(*color*)\n"), "dark (*w*)!\n");
  std::string page = Run("<!--ISW SET _jid=evil -->x\n");
  EXPECT_EQ(page, "<BR>Variable starting with \"_\" cannot be SET<BR>x\n");
  EXPECT_EQ(req.vars.Get("_jid"), "keep");
}

TEST_F(Engine, SkipRemEndAndEmptyNames) {
  // The rest of the line goes with its line end.
  EXPECT_EQ(Run("a<!--ISW SKIP -->b\nc<!--ISW REM note -->d\ne\n"), "ace\n");
  EXPECT_EQ(Run("one\n<!--ISW END -->gone\ntwo\n"), "one\n");
  EXPECT_EQ(Run("x<!--ISW -->y\nz\n"), "xz\n");
  // Unknown names do nothing; an unclosed directive and "<!--" alone are text.
  EXPECT_EQ(Run("a<!--ISW CSV X=1 -->b<!--ISW SET q=1\n<!-- c -->\n"),
            "ab<!--ISW SET q=1\n<!-- c -->\n");
  EXPECT_EQ(Run("<!--ISW set lower=yes -->(*LOWER*)\n"), "yes\n");
}

TEST_F(Engine, FormControls) {
  req.vars.Set("size", "M");
  EXPECT_EQ(Run("<!--ISW OPTION NAME=size VALUE=M --><!--ISW OPTION NAME=size VALUE=L -->\n"),
            "<OPTION SELECTED>M<OPTION>L\n");
  EXPECT_EQ(Run("<!--ISW OPTION NAME=size VALUE=L SELECT=L -->\n"), "<OPTION SELECTED>L\n");
  EXPECT_EQ(Run("<!--ISW CHECKBOX NAME=size VALUE=M -->\n"),
            "<INPUT TYPE=checkbox NAME=size VALUE=M CHECKED>\n");
  EXPECT_EQ(Run("<!--ISW RADIO NAME=size VALUE=S CHECK=M -->\n"),
            "<INPUT TYPE=radio NAME=size VALUE=S>\n");
}

TEST_F(Engine, RepeatCountsAndIndexes) {
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=1 TO=3 FMT=\"[(*_n*)]\" -->\n"), "[1][2][3]\n");
  EXPECT_EQ(req.vars.Get("_n"), "3");
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=3 TO=1 FMT=\"x\" -->.\n"), ".\n");
  EXPECT_EQ(Run("<!--ISW REPEAT VAR=i FROM=0 TO=10 INC=5 FMT=\"(*i*),\" -->\n"), "0,5,10,\n");
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=3 TO=1 INC=-1 FMT=\"(*_n*)\" -->\n"), "321\n");
  req.vars.Set("item[1]", "one");
  req.vars.Set("item[2]", "two");
  req.vars.Set("item", "whole");
  req.vars.Set("i", "9");
  EXPECT_EQ(Run("<!--ISW REPEAT VAR=i FROM=1 TO=2 FMT=\"(*item[i]*);\" -->(*item[i]*)\n"),
            "one;two;whole\n");
}

TEST_F(Engine, RepeatLoopsThatWouldNotEndDoEnd) {
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=1 TO=3 INC=0 FMT=\"z\" -->\n"), "z\n");
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=2 TO=2 FMT=\"(*_n*)\" -->\n"), "2\n");
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=1 TO=5 INC=-1 FMT=\"n\" -->.\n"), ".\n");
  // A counter at the top of its range stops instead of wrapping.
  EXPECT_EQ(Run("<!--ISW REPEAT FROM=9223372036854775806 TO=9223372036854775807 FMT=\"r\" -->\n"),
            "rr\n");
  // A huge range is cut at the round limit.
  std::string page = Run("<!--ISW REPEAT FROM=1 TO=999999999 FMT=\"x\" -->\n");
  EXPECT_EQ(page.size(), static_cast<size_t>(kMaxRepeatRounds) + 1);
}

TEST_F(Engine, IncludeAndSelfInclusionStopsAtTheDepthLimit) {
  host.Write("www/part.htm", "[part (*v*)]<!--ISW SET w=2 -->\n");
  req.vars.Set("v", "1");
  EXPECT_EQ(Run("a<!--ISW INCLUDE FILE=part.htm -->b(*w*)\n"), "a[part 1]\nb2\n");
  host.Write("www/self.htm", "x<!--ISW INCLUDE FILE=self.htm -->\n");
  host.page.clear();
  ASSERT_EQ(RunTemplate(req, host.dir / "www/self.htm"), 0);
  EXPECT_EQ(host.page.find("x\n"), std::string::npos);  // never got back to a line end...
  EXPECT_EQ(std::count(host.page.begin(), host.page.end(), 'x'), kMaxTemplateDepth + 1);
  EXPECT_NE(host.page.find("Templates nested too deep [self.htm]"), std::string::npos);
}

TEST_F(Engine, MergeWritesAFileAndAppends) {
  host.Write("www/m.htm", "merged (*v*)\n");
  req.vars.Set("v", "1");
  EXPECT_EQ(Run("<!--ISW MERGE TEMPLATE=m.htm WRITE=out.txt -->done\n"), "done\n");
  EXPECT_EQ(testing_support::Read(host.dir / "www/out.txt"), "merged 1\n");
  req.vars.Set("v", "2");
  EXPECT_EQ(Run("<!--ISW MERGE TEMPLATE=m.htm WRITE=out.txt APPEND BROWSER -->\n"), "merged 2\n\n");
  EXPECT_EQ(testing_support::Read(host.dir / "www/out.txt"), "merged 1\nmerged 2\n");
  EXPECT_FALSE(platform::FileExists(host.dir / "www/out.txt.lck"));
}

TEST_F(Engine, RunToFileAndMissingFiles) {
  host.Write("www/a.htm", "A(*v*)\n");
  req.vars.Set("v", "1");
  std::string out = host.dir / "www/res.htm";
  ASSERT_EQ(RunTemplate(req, host.dir / "www/a.htm", out, false, false), 0);
  EXPECT_EQ(host.page, "");
  EXPECT_EQ(testing_support::Read(out), "A1\n");
  ASSERT_EQ(RunTemplate(req, host.dir / "www/a.htm", out, true, true), 0);
  EXPECT_EQ(testing_support::Read(out), "A1\nA1\n");
  EXPECT_EQ(RunTemplate(req, host.dir / "www/missing.htm"), -1);
  EXPECT_NE(req.messages.find("Cannot open file ["), std::string::npos);
  req.messages.clear();
  EXPECT_EQ(RunTemplate(req, host.dir / "www/a.htm", host.dir / "no/such/dir/out.htm"), -1);
  EXPECT_NE(req.messages.find("Cannot open file ["), std::string::npos);
  // A failed run leaves the old output file as it was.
  EXPECT_EQ(RunTemplate(req, host.dir / "www/missing.htm", out), -1);
  EXPECT_EQ(testing_support::Read(out), "A1\nA1\n");
}

TEST_F(Engine, LongLinesAreTakenInPieces) {
  // A reference that straddles the 1151st character is cut and stays text.
  std::string filler(kMaxLine - 3, 'f');
  req.vars.Set("v", "V");
  std::string page = Run(filler + "(*v*)(*v*)\n");
  EXPECT_EQ(page, filler + "(*v*)V\n");
  std::string exact(kMaxLine - 6, 'g');
  EXPECT_EQ(Run(exact + "(*v*)\n"), exact + "V\n");
}

TEST_F(Engine, DumpCopiesRawContent) {
  std::string raw(600, 'r');
  raw += "(*v*)<!--ISW END -->";
  host.Write("www/raw.txt", raw);
  req.vars.Set("v", "1");
  EXPECT_EQ(Run("<!--ISW DUMP FILE=raw.txt -->|<!--ISW DUMP FILE=* -->\n"), raw + "|\n");
}

TEST_F(Engine, DebugListsAndTraces) {
  req.vars.Set("a", "1");
  req.vars.Set("b", "<x>", Origin::kRequest);
  std::string page = Run("<!--ISW DEBUG VAR=2 -->\n");
  EXPECT_EQ(page, "\n<PRE>\n(*a*)=1\n(*b*)=&lt;x&gt;\n\n</PRE>\n\n");
  page = Run("<!--ISW DEBUG VAR=1 -->\n");
  EXPECT_NE(page.find("(*a*)=\n"), std::string::npos);
  page = Run("<!--ISW DEBUG TRACE=2 COLOR=#FF000012 -->\n<!--ISW SET c=3 -->\n");
  EXPECT_EQ(req.traceLevel, 2);
  EXPECT_EQ(req.traceColor, "#FF0000");
  // A DEBUG without TRACE ends the trace; without COLOR it takes the default colour again.
  EXPECT_EQ(Run("<!--ISW DEBUG -->\n<!--ISW SET c=4 -->\n"),
            "<BR><TT><FONT COLOR=\"#FF0000\"><B>t.htm(1)</B> &lt;DEBUG&nbsp;--&gt;"
            "</FONT></TT><BR>\n\n");
  EXPECT_EQ(req.traceLevel, 0);
  EXPECT_EQ(req.traceColor, "#008000");
  page = Run("<!--ISW DEBUG TRACE=2 COLOR=#FF0000 -->\n<!--ISW SET c=3 -->\n");
  EXPECT_NE(page.find("<BR><TT><FONT COLOR=\"#FF0000\"><B>t.htm(2)</B> &lt;SET&nbsp;c=3&nbsp;--&gt;"
                      "<BR><B>c.........</B>=\"3\"</FONT></TT><BR>"),
            std::string::npos)
      << page;
}

TEST_F(Engine, CopyrightUsesAreCounted) {
  req.vars.Set("_copyright", "(c)");
  req.copyrightCount = 1;
  EXPECT_EQ(Run("(*_copyright*)\n"), "(c)\n");
  EXPECT_EQ(req.copyrightCount, 2);
}

}  // namespace
}  // namespace web
