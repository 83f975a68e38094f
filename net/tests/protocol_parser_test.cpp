// The SMTP and POP3 command parsers and the DATA stream, as tables of lines and byte by byte.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <string>
#include <vector>

#include "net/pop3_parser.h"
#include "net/smtp_parser.h"
#include "net/socket_extension.h"

namespace net {
namespace {

TEST(SmtpParserTest, CommandWordsAndArguments) {
  struct Case {
    const char* line;
    SmtpVerb verb;
    const char* argument;
  } cases[] = {
      {"HELO client.test", SmtpVerb::kHelo, "client.test"},
      {"helo client.test", SmtpVerb::kHelo, "client.test"},
      {"eHlO x", SmtpVerb::kEhlo, "x"},
      {"MAIL FROM:<a@b.test>", SmtpVerb::kMail, "FROM:<a@b.test>"},
      {"RCPT TO:<c@d.test> NOTIFY=NEVER", SmtpVerb::kRcpt, "TO:<c@d.test> NOTIFY=NEVER"},
      {"DATA", SmtpVerb::kData, ""},
      {"quit", SmtpVerb::kQuit, ""},
      {"RSET", SmtpVerb::kRset, ""},
      {"VRFY alice", SmtpVerb::kVrfy, "alice"},
      {"ETRN @example.test", SmtpVerb::kEtrn, "@example.test"},
      {".", SmtpVerb::kDot, ""},
      {"", SmtpVerb::kEmpty, ""},
      {" HELO x", SmtpVerb::kEmpty, "HELO x"},  // a leading blank makes the first word empty
      {"HELOX", SmtpVerb::kUnknown, ""},
      {"HEL", SmtpVerb::kUnknown, ""},
      {"MAIL\tFROM:<a@b>", SmtpVerb::kUnknown, ""},  // only a blank, CR or LF ends the word
      {"\x01\xff\x80", SmtpVerb::kUnknown, ""},
      {"DATA\r\n", SmtpVerb::kData, "\n"},
  };
  for (const Case& c : cases) {
    SmtpCommandLine parsed = ParseSmtpCommand(c.line);
    EXPECT_EQ(parsed.verb, c.verb) << c.line;
    EXPECT_EQ(parsed.argument, c.argument) << c.line;
  }
}

TEST(SmtpParserTest, PathsLoseTheirSourceRoute) {
  struct Case {
    const char* argument;
    const char* local;
    const char* domain;
  } cases[] = {
      {"FROM:<alice@example.test>", "alice", "example.test"},
      {"FROM: <alice@example.test>", "alice", "example.test"},
      {"FROM:<@relay.test:spammer@x.test>", "spammer", "x.test"},
      {"TO:<@a.test,@b.test:user@c.test>", "user", "c.test"},
      {"FROM:@relay.test:bare@x.test", "bare", "x.test"},
      {"FROM:<>", "", ""},
      {"TO:<postmaster>", "postmaster", ""},
      // No colon before the closing bracket: not a route, the text stays as it came.
      {"FROM:<@odd.test>", "", "odd.test"},
      {"alice@example.test", "alice", "example.test"},
      {"FROM:\"a <b>\" <real@x.test>", "real", "x.test"},
  };
  for (const Case& c : cases) {
    toolkit::SplitResult r = ParseSmtpPath(c.argument);
    EXPECT_EQ(r.local, c.local) << c.argument;
    EXPECT_EQ(r.domain, c.domain) << c.argument;
  }
  // Each part keeps its limit of 127 characters.
  std::string longLocal(200, 'l');
  toolkit::SplitResult r = ParseSmtpPath("FROM:<@r.test:" + longLocal + "@x.test>");
  EXPECT_EQ(r.local.size(), toolkit::kMaxAddressPart);
}

TEST(SmtpParserTest, FirstWordIsBoundedAtItsLimitAndOneMore) {
  EXPECT_EQ(FirstWord("  client.test  rest", 63), "client.test");
  EXPECT_EQ(FirstWord("\tname\r\n", 63), "name");
  EXPECT_EQ(FirstWord("   ", 63), "");
  std::string name63(63, 'a'), name64(64, 'b');
  EXPECT_EQ(FirstWord(name63, 63), name63);
  EXPECT_EQ(FirstWord(name64, 63), name64.substr(0, 63));
}

TEST(SmtpParserTest, OnlyALoneDotEndsTheData) {
  struct Case {
    const char* in;
    DataLine kind;
    const char* out;
  } cases[] = {
      {".\r\n", DataLine::kEnd, ".\r\n"},
      {"..\r\n", DataLine::kContent, ".\r\n"},
      {"..x\r\n", DataLine::kContent, ".x\r\n"},
      {"...\r\n", DataLine::kContent, "..\r\n"},
      {". \r\n", DataLine::kContent, ". \r\n"},
      {".\r\r\n", DataLine::kContent, ".\r\r\n"},
      {".x\r\n", DataLine::kContent, ".x\r\n"},
      {"x.\r\n", DataLine::kContent, "x.\r\n"},
      {"\r\n", DataLine::kContent, "\r\n"},
      {".", DataLine::kContent, "."},
  };
  for (const Case& c : cases) {
    std::string line = c.in;
    EXPECT_EQ(UnstuffDataLine(&line), c.kind) << c.in;
    EXPECT_EQ(line, c.out) << c.in;
  }
}

TEST(Pop3ParserTest, CommandWordsAndArguments) {
  struct Case {
    const char* line;
    Pop3Verb verb;
    const char* argument;
  } cases[] = {
      {"USER alice", Pop3Verb::kUser, "alice"},
      {"user alice", Pop3Verb::kUser, "alice"},
      {"PASS  \t secret word", Pop3Verb::kPass, "secret word"},
      {"PASS", Pop3Verb::kPass, ""},
      {"PASS ", Pop3Verb::kPass, ""},
      {"list 2", Pop3Verb::kList, "2"},
      {"TOP 1 10", Pop3Verb::kTop, "1 10"},
      {"RETR 1\r\n", Pop3Verb::kRetr, "1"},
      {"NOK", Pop3Verb::kNok, ""},
      {"", Pop3Verb::kUnknown, ""},
      {" USER alice", Pop3Verb::kUnknown, "USER alice"},
      {"USERS x", Pop3Verb::kUnknown, "x"},
      {"\xff\xfe", Pop3Verb::kUnknown, ""},
  };
  for (const Case& c : cases) {
    Pop3CommandLine parsed = ParsePop3Command(c.line);
    EXPECT_EQ(parsed.verb, c.verb) << c.line;
    EXPECT_EQ(parsed.argument, c.argument) << c.line;
  }
}

TEST(Pop3ParserTest, MessageNumbersAndTopArguments) {
  EXPECT_EQ(Pop3MessageNumber(""), 0);
  EXPECT_EQ(Pop3MessageNumber("1"), 1);
  EXPECT_EQ(Pop3MessageNumber("12abc"), 12);
  EXPECT_EQ(Pop3MessageNumber("0"), -1);
  EXPECT_EQ(Pop3MessageNumber("-3"), -1);
  EXPECT_EQ(Pop3MessageNumber("x"), -1);
  EXPECT_GT(Pop3MessageNumber("99999999999999999999999"), 0);  // clamped, not wrapped

  Pop3TopArguments top = ParsePop3Top("2 5");
  EXPECT_EQ(top.number, 2);
  EXPECT_EQ(top.lines, 5);
  EXPECT_EQ(ParsePop3Top("2\t 0").lines, 0);
  EXPECT_EQ(ParsePop3Top("2 -4").lines, 0);
  EXPECT_EQ(ParsePop3Top("2").number, -1);
  EXPECT_EQ(ParsePop3Top("").number, -1);
  EXPECT_EQ(ParsePop3Top("0 5").number, -1);
  // Each part: 31 characters pass, 32 do not.
  std::string ones31 = "0000000000000000000000000000001";
  ASSERT_EQ(ones31.size(), kPop3MaxTopPart);
  EXPECT_EQ(ParsePop3Top(ones31 + " 1").number, 1);
  EXPECT_EQ(ParsePop3Top("0" + ones31 + " 1").number, -1);
  EXPECT_EQ(ParsePop3Top("1 " + ones31).lines, 1);
  EXPECT_EQ(ParsePop3Top("1 0" + ones31).number, -1);
}

// A session's command stream fed one byte at a time through a socket pair gives the same
// commands as whole lines do: the parsers see lines, not segments.
TEST(ProtocolParserTest, CommandsTrickledByteByByteParseAsWholeLines) {
  const std::vector<std::string> lines = {"EHLO client.test", "MAIL FROM:<@r.test:a@b.test>",
                                          "RCPT TO:<c@d.test>", "", "DATA", "quit"};
  std::string stream;
  for (const std::string& l : lines) stream += l + "\r\n";
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  CSocketExtension reader(5, kSessionBufferSize);
  reader.Attach(fds[0]);
  std::thread writer([&] {
    for (char c : stream) {
      ASSERT_EQ(::send(fds[1], &c, 1, MSG_NOSIGNAL), 1);
    }
    ::close(fds[1]);
  });
  for (const std::string& expected : lines) {
    std::string got;
    ASSERT_EQ(reader.ReceiveLine(&got, "\r\n"), 0);
    EXPECT_EQ(got, expected);
    SmtpCommandLine a = ParseSmtpCommand(got), b = ParseSmtpCommand(expected);
    EXPECT_EQ(a.verb, b.verb);
    EXPECT_EQ(a.argument, b.argument);
  }
  writer.join();
}

}  // namespace
}  // namespace net
