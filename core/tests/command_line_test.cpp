#include "core/command_line.h"

#include <gtest/gtest.h>

#include "core/command_client.h"

namespace core {
namespace {

using Tokens = std::vector<std::string>;

Tokens TokensOf(std::string_view line) {
  CommandLine c = ParseQueueLine(line);
  EXPECT_EQ(c.kind, CommandLineKind::kCommand) << line;
  return c.tokens;
}

TEST(CommandLine, CommentsBlanksAndEndAreRecognised) {
  for (const char* line : {"", "   ", "\t", "#", "   # adduser x y", "\t#x", " \r"}) {
    CommandLine c = ParseQueueLine(line);
    EXPECT_EQ(c.kind, CommandLineKind::kComment) << '"' << line << '"';
    EXPECT_TRUE(c.tokens.empty());
  }
  for (const char* line : {"end", "  end  ", "END", "End\r"}) {
    EXPECT_EQ(ParseQueueLine(line).kind, CommandLineKind::kEnd) << line;
  }
  // "end" with anything else on the line is an (unknown) command, not the batch's end.
  EXPECT_EQ(TokensOf("end now"), (Tokens{"end", "now"}));
  EXPECT_EQ(TokensOf("ending"), (Tokens{"ending"}));
  // A "#" after the first token is text.
  EXPECT_EQ(TokensOf("logmessage #1"), (Tokens{"logmessage", "#1"}));
}

TEST(CommandLine, TokensSplitAtBlanksAndTabsAndQuotesGroup) {
  EXPECT_EQ(TokensOf("  adduser\tjoe   pw  "), (Tokens{"adduser", "joe", "pw"}));
  EXPECT_EQ(TokensOf("sendmessage a@b c@d \"two words\" \"\""),
            (Tokens{"sendmessage", "a@b", "c@d", "two words", ""}));
  // A quote ends its token; what follows starts the next one.
  EXPECT_EQ(TokensOf("x \"a b\"c d\"e f\""), (Tokens{"x", "a b", "c", "d", "e f"}));
  EXPECT_EQ(TokensOf("\"quoted command\""), (Tokens{"quoted command"}));
}

TEST(CommandLine, UnterminatedQuoteAndNulAreMalformed) {
  CommandLine c = ParseQueueLine("logmessage \"never closed");
  EXPECT_EQ(c.kind, CommandLineKind::kOpenQuote);
  EXPECT_TRUE(c.tokens.empty());
  EXPECT_EQ(ParseQueueLine("\"").kind, CommandLineKind::kOpenQuote);
  EXPECT_EQ(ParseQueueLine(std::string("deluser jo\0e", 12)).kind, CommandLineKind::kNulByte);
  // A NUL byte is refused even where the rest would be a comment.
  EXPECT_EQ(ParseQueueLine(std::string("#\0", 2)).kind, CommandLineKind::kNulByte);
}

TEST(CommandLine, LengthLimitAtNAndNPlusOne) {
  std::string line = "logmessage " + std::string(kCommandLineMax - 11, 'x');
  ASSERT_EQ(line.size(), kCommandLineMax);
  EXPECT_EQ(ParseQueueLine(line).kind, CommandLineKind::kCommand);
  EXPECT_EQ(ParseQueueLine(line + "x").kind, CommandLineKind::kTooLong);
  // Trailing blanks count: the limit is on the line as written.
  EXPECT_EQ(ParseQueueLine(line + " ").kind, CommandLineKind::kTooLong);
  // A smaller limit is honoured the same way.
  EXPECT_EQ(ParseQueueLine("abcd", 4).kind, CommandLineKind::kCommand);
  EXPECT_EQ(ParseQueueLine("abcde", 4).kind, CommandLineKind::kTooLong);
}

TEST(CommandLine, TwentyTokensAreReadAndTheRestIsNot) {
  std::string line = "t";
  for (int i = 1; i < 20; ++i) line += " a" + std::to_string(i);
  Tokens t = TokensOf(line);
  ASSERT_EQ(t.size(), 20u);
  EXPECT_EQ(t.back(), "a19");
  t = TokensOf(line + " a20");
  ASSERT_EQ(t.size(), 20u);
  EXPECT_EQ(t.back(), "a19");
  // What lies beyond the twentieth token is not read, not even an open quote.
  EXPECT_EQ(ParseQueueLine(line + " \"open").kind, CommandLineKind::kCommand);
  EXPECT_EQ(ParseQueueLine("a b c", 1000, 2).tokens, (Tokens{"a", "b"}));
}

TEST(CommandText, EscapesBecomeLineBreaks) {
  EXPECT_EQ(UnescapeCommandText("a\x01xb"), "a\r\nb");  // the byte after the mark is replaced
  EXPECT_EQ(UnescapeCommandText("a\x80xb"), "a\r\nb");
  EXPECT_EQ(UnescapeCommandText("a\x02\x03z"), "a\r\nz");
  EXPECT_EQ(UnescapeCommandText("a\x81\x82z"), "a\r\nz");
  EXPECT_EQ(UnescapeCommandText("end\x01"), "end\r\n");  // a last mark still ends its line
  EXPECT_EQ(UnescapeCommandText("plain \xe9t\xe9"), "plain \xe9t\xe9");
}

TEST(CommandText, WrapBreaksAtTheLastBlankBeforeColumn77) {
  // 70 letters, a blank at column 70, 10 letters, a blank at column 81: broken at column 70.
  std::string text = std::string(70, 'a') + " " + std::string(10, 'b') + " c";
  std::string wrapped = WrapCommandText(text);
  EXPECT_EQ(wrapped, std::string(70, 'a') + "\n" + std::string(10, 'b') + " c");
  // A blank at column 76 is not yet a break; at 77 it is.
  std::string at76 = std::string(76, 'a') + " b";
  EXPECT_EQ(WrapCommandText(at76), at76);
  std::string at77 = std::string(77, 'a') + " b";
  EXPECT_EQ(WrapCommandText(at77), std::string(77, 'a') + "\nb");
  // No blank at all: never broken.
  EXPECT_EQ(WrapCommandText(std::string(300, 'x')), std::string(300, 'x'));
  // CR and LF restart the column count.
  std::string lines = std::string(60, 'a') + "\r\n" + std::string(60, 'b') + " c";
  EXPECT_EQ(WrapCommandText(lines), lines);
}

TEST(CommandText, WrapRestartsCountingAfterTheBreak) {
  std::string word(30, 'w');
  std::string text;
  for (int i = 0; i < 6; ++i) text += word + " ";
  std::string wrapped = WrapCommandText(text);
  size_t start = 0;
  int lines = 0;
  for (size_t nl; (nl = wrapped.find('\n', start)) != std::string::npos; start = nl + 1) {
    EXPECT_EQ(nl - start, 61u);  // two words and their blank
    ++lines;
  }
  EXPECT_EQ(lines, 2);  // the third pair ends the text on its own line
  EXPECT_EQ(wrapped.size(), text.size());
}

TEST(CommandLog, EntriesParseAndResultsMatchAsOneRun) {
  CommandLogEntry e;
  ASSERT_TRUE(ParseCommandLogLine("12:\tlistuser", &e));
  EXPECT_EQ(e.number, 12);
  EXPECT_EQ(e.result, 0);
  EXPECT_EQ(e.text, "listuser");
  ASSERT_TRUE(ParseCommandLogLine("3:ERR-99\tfoo bar", &e));
  EXPECT_EQ(e.result, -99);
  EXPECT_EQ(e.text, "foo bar");
  for (const char* bad : {"\t01/01/26 12:00:00- x", "x:\ty", ":\ty", "3:ERR\tx", "3:OK\tx", "3:"}) {
    EXPECT_FALSE(ParseCommandLogLine(bad, &e)) << bad;
  }
  // A marker comment, two commands and a comment; another writer's identical line comes first
  // in another batch, numbered differently.
  std::vector<std::string> lines{"# marker", "deluser a", "# note", "bogus"};
  std::vector<CommandLogEntry> entries{
      {1, 0, "deluser a"}, {5, -99, "other"}, {7, 0, "deluser a"}, {9, -99, "bogus"}};
  std::vector<int> results;
  ASSERT_TRUE(MatchCommandResults(lines, entries, &results));
  EXPECT_EQ(results, (std::vector<int>{0, -99}));
  entries.pop_back();  // the last result missing: no match
  EXPECT_FALSE(MatchCommandResults(lines, entries, &results));
}

}  // namespace
}  // namespace core
