#include "toolkit/mime_parser.h"

#include <gtest/gtest.h>

namespace toolkit {
namespace {

std::string Content(const std::string& text, const MimePart& p) {
  return text.substr(p.begin, p.end - p.begin);
}

TEST(MimeParserTest, HeaderFacts) {
  std::string text = "X-IStatus:00000000000000000003\r\nX-IStatus:00000000000000002051\r\n";
  for (int i = 0; i < 31; ++i) text += "Received: from hop" + std::to_string(i) + "\r\n";
  text += "Sender: Real Sender <sender@example.test>\r\nFrom: \"Alice\" <alice@example.test>\r\n"
          "To: bob@example.test\r\nCc: Carol <carol@example.test>\r\n"
          "Subject: a folded\r\n\tsubject line\r\nReply-To: <reply@example.test>\r\n"
          "Errors-To: errors@example.test\r\nMessage-Id: <1@x>\r\nX-Other: kept\r\n"
          "Date: Sun, 5 Dec 2021 09:05:07 +0100\r\n\r\nbody\r\n";
  MimeMessage m;
  ParseOptions all;
  all.allHeaders = true;
  ASSERT_EQ(ParseMessageText(text, &m, all), 0);
  EXPECT_EQ(m.header.hops, 31);
  EXPECT_EQ(m.header.status, 3u);  // the second status line is ignored
  EXPECT_EQ(m.header.sender, "alice@example.test");
  EXPECT_EQ(m.header.recipients, "bob@example.test, Carol <carol@example.test>");
  EXPECT_EQ(m.header.subject, "a folded subject line");
  EXPECT_EQ(m.header.replyTo, "reply@example.test");
  EXPECT_EQ(m.header.errorsTo, "errors@example.test");
  EXPECT_EQ(m.header.messageId, "<1@x>");
  EXPECT_EQ(m.header.otherLines, (std::vector<std::string>{"X-Other: kept"}));
  EXPECT_EQ(ShortDate(m.header.date), "5 Dec 09:05");
  EXPECT_EQ(m.body.type, kText);
  EXPECT_EQ(Content(text, m.body), "body\r\n");

  // Only Sender: that address; and a fresh parse does not remember the earlier From.
  MimeMessage onlySender;
  ASSERT_EQ(ParseMessageText("Sender: s@example.test\r\n\r\n", &onlySender), 0);
  EXPECT_EQ(onlySender.header.sender, "s@example.test");
}

TEST(MimeParserTest, NestedMultipartsAndEnclosedMessages) {
  std::string text =
      "From: a@example.test\r\nContent-Type: multipart/mixed; boundary=\"outer b\"\r\n\r\n"
      "preamble\r\n--outer b\r\nContent-Type: multipart/alternative; boundary=inner\r\n\r\n"
      "--inner\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9\r\n"
      "--inner\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--inner--\r\n"
      "--outer b\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
      "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
      "Content-Transfer-Encoding: BASE64\r\n\r\nAAEC\r\n"
      "--outer b\r\nContent-Type: message/rfc822\r\n\r\nFrom: inner@example.test\r\n"
      "Subject: inside\r\n\r\ninner body\r\n"
      "--outer b\r\nContent-Type: application/mac-binhex40\r\n\r\n(This file...)\r\n"
      "--outer b\r\nContent-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: x-uuenc\r\n\r\nbegin 644 f\r\n"
      "--outer b--\r\nepilogue\r\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  ASSERT_EQ(m.body.type, kMultipart);
  ASSERT_EQ(m.body.children.size(), 5u);
  const MimePart& alt = m.body.children[0];
  EXPECT_EQ(alt.subtype, 1);  // alternative
  ASSERT_EQ(alt.children.size(), 2u);
  EXPECT_EQ(alt.children[0].encoding, kQuotedPrintable);
  EXPECT_EQ(alt.children[0].parameters.at("CHARSET"), "iso-8859-1");
  EXPECT_EQ(Content(text, alt.children[0]), "caf=E9");
  EXPECT_EQ(Content(text, alt.children[1]), "<p>x</p>");
  const MimePart& att = m.body.children[1];
  EXPECT_EQ(att.encoding, kBase64);
  EXPECT_EQ(att.disposition, "attachment");
  EXPECT_EQ(att.fileName, "report.pdf");
  EXPECT_EQ(Content(text, att), "AAEC");
  const MimePart& enclosed = m.body.children[2];
  ASSERT_TRUE(enclosed.message);
  EXPECT_EQ(enclosed.message->header.sender, "inner@example.test");
  EXPECT_EQ(enclosed.message->header.subject, "inside");
  EXPECT_EQ(Content(text, enclosed.message->body), "inner body");
  EXPECT_EQ(m.body.children[3].encoding, kBinHex);
  EXPECT_EQ(m.body.children[4].encoding, kUuencode);
}

TEST(MimeParserTest, MissingBoundariesAndHeaderOnly) {
  MimeMessage m;
  EXPECT_EQ(ParseMessageText("Content-Type: multipart/mixed\r\n\r\nx\r\n", &m), kErrNoBoundary);
  EXPECT_EQ(ParseMessageText("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\n", &m),
            kErrUnclosed);
  ParseOptions headerOnly;
  headerOnly.headerOnly = true;
  EXPECT_EQ(ParseMessageText("Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n",
                             &m, headerOnly),
            0);
  EXPECT_EQ(m.header.subject, "s");
  // LF-only messages and unknown types.
  ASSERT_EQ(ParseMessageText("Content-Type: chemical/x-pdb\nContent-Transfer-Encoding: weird\n\nx\n", &m), 0);
  EXPECT_EQ(m.body.type, kUnknownType);
  EXPECT_EQ(m.body.encoding, k7Bit);
  // Deep nesting is refused, not recursed without end.
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "Content-Type: message/rfc822\r\n\r\n";
  EXPECT_EQ(ParseMessageText(deep, &m), kErrNoBoundary);
}

}  // namespace
}  // namespace toolkit
