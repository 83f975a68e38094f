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

// A refused structure keeps what was read in the tree: the last part of an unclosed multipart
// runs to the end of the text, the parts after an unclosed inner multipart are read, and a
// multipart without boundary is one part whose range is its content.
TEST(MimeParserTest, RefusedStructuresKeepTheirParts) {
  std::string text =
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\n"
      "Content-Type: multipart/alternative; boundary=i\r\n\r\n--i\r\n\r\ninner one\r\n"
      "--o\r\n\r\nsecond\r\n--o\r\nContent-Transfer-Encoding: base64\r\n\r\nYWJj\r\n";
  MimeMessage m;
  EXPECT_EQ(ParseMessageText(text, &m), kErrUnclosed);
  ASSERT_EQ(m.body.children.size(), 3u);
  ASSERT_EQ(m.body.children[0].children.size(), 1u);
  EXPECT_EQ(Content(text, m.body.children[0].children[0]), "inner one");
  EXPECT_EQ(Content(text, m.body.children[1]), "second");
  EXPECT_EQ(Content(text, m.body.children[2]), "YWJj\r\n");
  // Closed outside, unclosed inside: still -22, and nothing after it is lost.
  std::string inner =
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\n"
      "Content-Type: multipart/alternative; boundary=i\r\n\r\n--i\r\n\r\nx\r\n--o\r\n\r\nlast\r\n"
      "--o--\r\n";
  EXPECT_EQ(ParseMessageText(inner, &m), kErrUnclosed);
  ASSERT_EQ(m.body.children.size(), 2u);
  EXPECT_EQ(Content(inner, m.body.children[1]), "last");
  // A delimiter as the very last line: no part after it.
  EXPECT_EQ(ParseMessageText(
                "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\n--b\r\n", &m),
            kErrUnclosed);
  EXPECT_EQ(m.body.children.size(), 1u);
  std::string none = "Content-Type: multipart/mixed\r\n\r\nplain words\r\n";
  EXPECT_EQ(ParseMessageText(none, &m), kErrNoBoundary);
  EXPECT_TRUE(m.body.children.empty());
  EXPECT_EQ(Content(none, m.body), "plain words\r\n");
}

// The header ends at the empty line, or before a line that is no header field and is not
// followed by one: the body's text is never taken for header lines. A stray line between
// fields stays in the header.
TEST(MimeParserTest, BodiesWithoutTheEmptyLine) {
  struct Case {
    const char* text;
    const char* body;
  } cases[] = {
      {"Subject: s\r\nno separating line here\r\nmore\r\n", "no separating line here\r\nmore\r\n"},
      {"Subject: s\r\nlast line", "last line"},
      {"Message removed\r\n\r\n", "Message removed\r\n\r\n"},
      {"Just a text\r\n\tindented\r\n\r\nend\r\n", "Just a text\r\n\tindented\r\n\r\nend\r\n"},
      {"From sender@example.test Mon Dec  7 10:00:00 2026\r\nSubject: s\r\n\r\nbody\r\n",
       "body\r\n"},
      {"Subject: s\r\nContent-Type: text/plain;\r\nname=\"a.txt\"\r\nX-After: 1\r\n\r\nbody\r\n",
       "body\r\n"},
      {"Subject : old style\r\nX-Y: z\r\n\r\nbody\r\n", "body\r\n"},
  };
  for (const Case& c : cases) {
    MimeMessage m;
    ASSERT_EQ(ParseMessageText(c.text, &m), 0) << c.text;
    EXPECT_EQ(Content(c.text, m.body), c.body) << c.text;
  }
  // A multipart whose header runs straight into its preamble keeps its parts.
  std::string text =
      "Subject: no break\r\nContent-Type: multipart/alternative;\r\n boundary=\"b\"\r\n"
      "This is a multi-part message in MIME format.\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "plain\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n--b--\r\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  EXPECT_EQ(m.header.subject, "no break");
  ASSERT_EQ(m.body.children.size(), 2u);
  EXPECT_EQ(Content(text, m.body.children[1]), "<p>html</p>");
  // An enclosed message without header: its text is its body.
  std::string enclosed =
      "Content-Type: multipart/mixed; boundary=e\r\n\r\n--e\r\nContent-Type: message/rfc822\r\n\r\n"
      "Message removed\r\n\r\n--e--\r\n";
  ASSERT_EQ(ParseMessageText(enclosed, &m), 0);
  ASSERT_TRUE(m.body.children[0].message);
  EXPECT_EQ(Content(enclosed, m.body.children[0].message->body), "Message removed\r\n");
}

// RFC 2046 5.1.5: in a digest a part without Content-Type is message/rfc822, so the enclosed
// message's header facts and its own attachments are reachable. A part that names its type keeps
// it, and the default is the digest's only: a part without type elsewhere stays text/plain.
TEST(MimeParserTest, DigestPartsWithoutContentTypeAreEnclosedMessages) {
  std::string text =
      "From: list@example.test\nSubject: digest\nMIME-Version: 1.0\n"
      "Content-Type: multipart/digest; boundary=\"---- next message ----\"\n\n"
      "------ next message ----\n\n"
      "From: Jane <jane@example.test> (first)\nSubject: my opinion\n\nfirst body\n"
      "------ next message ----\n\n"
      "From: joe@example.test\nSubject: with attachment\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=in\n\n"
      "--in\n\nno type here\n--in\nContent-Type: application/pdf; name=\"a.pdf\"\n"
      "Content-Transfer-Encoding: base64\n\nJVBERg==\n--in--\n"
      "------ next message ----\nContent-Type: text/plain\n\nan explicit text part\n"
      "------ next message ------\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  ASSERT_EQ(m.body.children.size(), 3u);
  const MimePart& first = m.body.children[0];
  EXPECT_EQ(first.type, kMessage);
  EXPECT_EQ(first.subtype, 0);
  EXPECT_EQ(first.subtypeText, "rfc822");
  ASSERT_TRUE(first.message);
  EXPECT_EQ(first.message->header.sender, "jane@example.test");
  EXPECT_EQ(first.message->header.subject, "my opinion");
  EXPECT_EQ(Content(text, first.message->body), "first body");
  const MimePart& second = m.body.children[1];
  ASSERT_TRUE(second.message);
  EXPECT_EQ(second.message->header.subject, "with attachment");
  const MimePart& inner = second.message->body;
  ASSERT_EQ(inner.children.size(), 2u);
  EXPECT_EQ(inner.children[0].type, kText);  // mixed, not digest: the default is text/plain
  EXPECT_EQ(inner.children[0].subtypeText, "plain");
  EXPECT_EQ(inner.children[1].fileName, "a.pdf");
  EXPECT_EQ(Content(text, inner.children[1]), "JVBERg==");
  EXPECT_EQ(m.body.children[2].type, kText);
  EXPECT_FALSE(m.body.children[2].message);
}

// RFC 2046 5.1.1: blanks and tabs after a boundary (and after the closing "--") are padding that
// must be accepted; any other text after it makes an ordinary line.
TEST(MimeParserTest, BoundaryLinesWithTrailingBlanksAndTabs) {
  std::string text =
      "Content-Type: multipart/mixed; boundary=b1\r\n\r\n"
      "--b1 \t\r\nContent-Type: text/plain\r\n\r\none\r\n--b1x\r\n--b1 x\r\n--b1---\r\n"
      "--b1\t\r\n\r\ntwo\r\n--b1--  \t\r\nepilogue\r\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  ASSERT_EQ(m.body.children.size(), 2u);
  EXPECT_EQ(Content(text, m.body.children[0]), "one\r\n--b1x\r\n--b1 x\r\n--b1---");
  EXPECT_EQ(Content(text, m.body.children[1]), "two");
  // Padding does not make a closing line of a line with text after the "--".
  EXPECT_EQ(ParseMessageText("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b \r\n\r\nx\r\n"
                             "--b-- x\r\n",
                             &m),
            kErrUnclosed);
  // LF-only lines, padding on both kinds of line.
  std::string lf =
      "Content-Type: multipart/alternative; boundary=\"q r\"\n\n--q r  \n\nA\n--q r\t \n\nB\n--q "
      "r-- \n";
  ASSERT_EQ(ParseMessageText(lf, &m), 0);
  ASSERT_EQ(m.body.children.size(), 2u);
  EXPECT_EQ(Content(lf, m.body.children[0]), "A");
  EXPECT_EQ(Content(lf, m.body.children[1]), "B");
}

// An unquoted value runs to ";" with its blanks (trailing ones cut); RFC 2231 sections are joined
// in order, extended ones percent-decoded, converted to UTF-8 from section 0's character set.
TEST(MimeParserTest, FileNamesWithBlanksAndRfc2231Continuations) {
  struct Case {
    const char* header;
    const char* fileName;
  } cases[] = {
      {"Content-Disposition: attachment; filename=my annual report.pdf", "my annual report.pdf"},
      {"Content-Disposition: attachment; filename=two  blanks.txt  ; size=10", "two  blanks.txt"},
      {"Content-Type: application/octet-stream; name=a b.bin", "a b.bin"},
      {"Content-Disposition: attachment; filename=\"C:\\dir\\q\\\"uote.txt\"",
       "C:\\dir\\q\"uote.txt"},
      {"Content-Disposition: attachment;\r\n filename*0*=iso-8859-1'en'caf%E9%20;\r\n"
       " filename*1*=cr%E8me;\r\n filename*2=\" plain .txt\"",
       "caf\xC3\xA9 cr\xC3\xA8me plain .txt"},
      // Sections out of order are put in order; "%" that is not an escape stays.
      {"Content-Disposition: attachment; filename*1=\"two\"; filename*0=\"one-\"", "one-two"},
      {"Content-Disposition: attachment; filename*=utf-8''%e2%82%ac%zz.txt", "\xE2\x82\xAC%zz.txt"},
      // A gap ends the name; a section number with a leading zero is no section.
      {"Content-Disposition: attachment; filename*0=a; filename*2=c; filename*01=x", "a"},
      // The RFC 2231 name stands for the parameter, before or after a plain one.
      {"Content-Disposition: attachment; filename=\"old.txt\"; filename*=us-ascii''new.txt",
       "new.txt"},
      {"Content-Disposition: attachment; filename*=us-ascii''new.txt; filename=old.txt", "new.txt"},
  };
  for (const Case& c : cases) {
    std::string text = std::string(c.header) + "\r\n\r\nbody\r\n";
    MimeMessage m;
    ASSERT_EQ(ParseMessageText(text, &m), 0) << c.header;
    EXPECT_EQ(m.body.fileName, c.fileName) << c.header;
  }
  // The joined value is cut like any value: 511 characters kept, the 512th dropped.
  for (size_t total : {511u, 512u}) {
    std::string header = "Content-Disposition: attachment";
    for (size_t i = 0, n = 0; i < total; i += 100, ++n) {
      header += "; filename*" + std::to_string(n) + "=" +
                std::string(std::min<size_t>(100, total - i), 'a' + n);
    }
    MimeMessage m;
    ASSERT_EQ(ParseMessageText(header + "\r\n\r\nx\r\n", &m), 0);
    EXPECT_EQ(m.body.fileName.size(), 511u) << total;
    EXPECT_EQ(m.body.fileName.substr(500, 11), std::string(11, 'f')) << total;
  }
}

// Address headers give the address a reply goes to: comments, display names and groups removed,
// a quoted local part kept (RFC 5322 3.4).
TEST(MimeParserTest, AddressHeadersLoseCommentsAndDisplayNames) {
  std::string text =
      "From: bbb@ddd.test (John X. Doe)\r\nReply-To: \"Doe, J\" <jd@ddd.test> (work)\r\n"
      "Errors-To: Errors: (list owner) \"bounce here\"@ddd.test;\r\n\r\nx\r\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  EXPECT_EQ(m.header.sender, "bbb@ddd.test");
  EXPECT_EQ(m.header.from, "bbb@ddd.test");
  EXPECT_EQ(m.header.replyTo, "jd@ddd.test");
  EXPECT_EQ(m.header.errorsTo, "\"bounce here\"@ddd.test");
  ASSERT_EQ(ParseMessageText("Sender: s@ddd.test (the secretary)\r\n\r\n", &m), 0);
  EXPECT_EQ(m.header.sender, "s@ddd.test");
}

}  // namespace
}  // namespace toolkit
