#include "toolkit/wildcard.h"

#include <gtest/gtest.h>

namespace toolkit {
namespace {

TEST(WildcardTest, TheFourPatternForms) {
  struct Case {
    const char* text;
    const char* pattern;
    bool caseSensitive;
    int match;
  } cases[] = {
      {"anything", "*", false, 1},         {"", "*", false, 1},
      {"bob@example.test", "*@example.test", false, 1},
      {"BOB@EXAMPLE.TEST", "*@example.test", false, 1},
      {"@example.test", "*@example.test", false, 0},  // must be longer than the suffix
      {"sales-eu", "sales*", false, 1},    {"SALES-eu", "sales*", false, 1},
      {"SALES-eu", "sales*", true, 0},     {"xsales", "sales*", false, 0},
      {"big-sale-now", "*sale*", false, 1}, {"BIG-SALE", "*sale*", false, 0},  // substring keeps case
      {"a*b", "a*b", false, 1},            {"axb", "a*b", false, 0},  // inner star is literal
      {"a?c", "a?c", false, 1},            {"abc", "a?c", false, 0},
      {"Master", "master", false, 1},      {"Master", "master", true, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatch(c.text, c.pattern, c.caseSensitive), c.match)
        << c.text << " ~ " << c.pattern;
  }
}

}  // namespace
}  // namespace toolkit
