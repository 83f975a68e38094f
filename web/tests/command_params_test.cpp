#include "web/command_params.h"

#include <gtest/gtest.h>

#include <iterator>

#include "web/pages.h"
#include "web/web_results.h"

namespace web {
namespace {

constexpr ParamSpec kSpec[] = {{"_but", ParamKind::kText, nullptr},
                               {"count", ParamKind::kInt, "7"},
                               {"name", ParamKind::kText, kAbsentMarker}};

int Bind(std::string_view list, CCommandParams* out) {
  return BindParameters(kSpec, std::size(kSpec), list, out);
}

TEST(SplitCommand, CommandEndsAtAmpersandOrQuestionMark) {
  struct Case {
    const char* query;
    const char* command;
    const char* rest;
  } cases[] = {
      {"Login&name=bob", "Login", "name=bob"},
      {"Login?name=bob", "Login", "name=bob"},
      {"Login", "Login", ""},
      {"", "", ""},
      {"&x=1", "", "x=1"},
      {"MfcISAPICommand=Master&name=a", "Master", "name=a"},
      {"mfcisapicommand=Master", "Master", ""},
      {"MfcISAPICommandX=1", "MfcISAPICommandX=1", ""},
      {"Log%69n&a", "Login", "a"},
  };
  for (const Case& c : cases) {
    std::string command;
    std::string_view rest;
    SplitCommand(c.query, &command, &rest);
    EXPECT_EQ(command, c.command) << c.query;
    EXPECT_EQ(rest, c.rest) << c.query;
  }
}

TEST(BindParameters, NamedPositionalAndDefaults) {
  CCommandParams p;
  ASSERT_EQ(Bind("_but=Go", &p), kWebOk);
  EXPECT_EQ(p.Text("_but"), "Go");
  EXPECT_EQ(p.Int("count"), 7);
  EXPECT_EQ(p.Raw("name"), "{0}");
  EXPECT_EQ(p.Text("name"), "");  // the absent marker reads as nothing

  CCommandParams q;
  ASSERT_EQ(Bind("Go&12&bob+smith", &q), kWebOk);
  EXPECT_EQ(q.Text("_but"), "Go");
  EXPECT_EQ(q.Int("count"), 12);
  EXPECT_EQ(q.Text("NAME"), "bob smith");

  // A bare value fills the first parameter not given by name.
  CCommandParams r;
  ASSERT_EQ(Bind("_but=x&-3", &r), kWebOk);
  EXPECT_EQ(r.Int("count"), -3);
  CCommandParams s;
  ASSERT_EQ(Bind("COUNT=5&x%26y", &s), kWebOk);
  EXPECT_EQ(s.Text("_but"), "x&y");
  EXPECT_EQ(s.Int("count"), 5);
}

TEST(BindParameters, RefusesMissingExcessUnknownAndBadIntegers) {
  CCommandParams p;
  EXPECT_EQ(Bind("", &p), kWebMissingParam);
  EXPECT_EQ(Bind("count=1", &p), kWebMissingParam);
  EXPECT_EQ(Bind("a&1&n", &p), kWebOk);
  CCommandParams excess;
  EXPECT_EQ(Bind("a&1&n&extra", &excess), kWebParamCount);
  CCommandParams unknown;
  EXPECT_EQ(Bind("_but=a&colour=red", &unknown), kWebParamFormat);
  for (const char* bad : {"_but=a&count=", "_but=a&count=1x", "_but=a&count=+",
                          "_but=a&count=99999999999999999999", "_but=a&count= 1"}) {
    CCommandParams q;
    EXPECT_EQ(Bind(bad, &q), kWebParamFormat) << bad;
  }
  CCommandParams edge;
  EXPECT_EQ(Bind("_but=a&count=9223372036854775807", &edge), kWebOk);
  EXPECT_EQ(edge.Int("count"), 9223372036854775807L);
}

TEST(BindParameters, ADefaultWithAQuoteFails) {
  constexpr ParamSpec quoted[] = {{"a", ParamKind::kText, "it's"}};
  CCommandParams p;
  EXPECT_EQ(BindParameters(quoted, 1, "", &p), kWebParamFormat);
  CCommandParams q;
  EXPECT_EQ(BindParameters(quoted, 1, "a=given", &q), kWebOk);  // not used when given
}

TEST(BindParameters, CommandsWithoutParametersTakeNone) {
  CCommandParams p;
  EXPECT_EQ(BindParameters(nullptr, 0, "", &p), kWebOk);
  EXPECT_EQ(BindParameters(nullptr, 0, "&&", &p), kWebOk);
  EXPECT_EQ(BindParameters(nullptr, 0, "x", &p), kWebParamCount);
  EXPECT_EQ(BindParameters(nullptr, 0, "x=1", &p), kWebParamFormat);
}

// The table of this build: every command is there, its lists have the declared sizes, and no
// default holds a quote (which would fail every request of that command).
TEST(CommandTable, EveryCommandWithItsParameterCount) {
  struct Expect {
    const char* name;
    size_t count;
  } expected[] = {{"Login", 1},        {"Master", 2},      {"LoginForm", 5},
                  {"AdminForm", 6},    {"ButtonProc", 3},  {"ChangePassword", 5},
                  {"AccountProp", 24}, {"ServerProp", 60}, {"FirewallCfg", 12},
                  {"SrvFile", 4},      {"Account", 5},     {"MailingList", 19},
                  {"Aliases", 6},      {"Gate232", 3},     {"Install", 4},
                  {"About", 0},        {"Default", 0}};
  const CPageTable& pages = DefaultPages();
  EXPECT_EQ(pages.commands.size(), std::size(expected));
  for (const Expect& e : expected) {
    const CommandEntry* entry = FindCommand(pages, e.name);
    ASSERT_NE(entry, nullptr) << e.name;
    EXPECT_EQ(entry->count, e.count) << e.name;
    for (size_t i = 0; i < entry->count; ++i) {
      if (entry->params[i].def != nullptr) {
        EXPECT_EQ(std::string_view(entry->params[i].def).find('\''), std::string_view::npos);
      }
    }
  }
  EXPECT_NE(FindCommand(pages, "install"), nullptr);
  EXPECT_EQ(FindCommand(pages, "ShowForm"), nullptr);
}

}  // namespace
}  // namespace web
