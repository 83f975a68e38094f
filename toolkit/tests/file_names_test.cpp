// Attachment names: character sets, encoded words, RFC 2231 values, and the safe name for disk.
#include "toolkit/file_names.h"

#include <gtest/gtest.h>

#include "toolkit/mime_parser.h"

namespace toolkit {
namespace {

TEST(FileNamesTest, CharacterSetsBecomeUtf8) {
  EXPECT_EQ(ToUtf8("caf\xE9", "ISO-8859-1"), "caf\xC3\xA9");
  EXPECT_EQ(ToUtf8("\x80uro", "windows-1252"), "\xE2\x82\xACuro");
  EXPECT_EQ(ToUtf8("\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r"),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");  // "Привет"
  EXPECT_EQ(ToUtf8("caf\xC3\xA9", "UTF-8*en"), "caf\xC3\xA9");    // RFC 2231 language dropped
  // Bytes the character set cannot read become U+FFFD, one each; the rest is kept.
  EXPECT_EQ(ToUtf8("a\xFF"
                   "b",
                   "utf-8"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(ToUtf8("a\xE9"
                   "b",
                   "us-ascii"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(ToUtf8("\xE2\x82", "utf-8"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut character
  // No or an unknown character set: UTF-8 stays, anything else is read as ISO-8859-1.
  EXPECT_EQ(ToUtf8("\xE2\x82\xAC", ""), "\xE2\x82\xAC");
  EXPECT_EQ(ToUtf8("caf\xE9", "x-no-such-charset"), "caf\xC3\xA9");
  EXPECT_TRUE(IsUtf8("\xF4\x8F\xBF\xBF"));
  EXPECT_FALSE(IsUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(IsUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsUtf8("\xED\xA0\x80"));      // a surrogate
}

TEST(FileNamesTest, EncodedWordsInAnyCharacterSet) {
  EXPECT_EQ(DecodeWordsToUtf8("=?UTF-8?B?w5xiZXJzaWNodC5wZGY=?="),
            "\xC3\x9C"
            "bersicht.pdf");
  EXPECT_EQ(DecodeWordsToUtf8("=?iso-8859-1?q?r=E9sum=E9_final.doc?="),
            "r\xC3\xA9sum\xC3\xA9 final.doc");
  // Blanks between adjacent words go; a character split between two words is whole again.
  EXPECT_EQ(DecodeWordsToUtf8("=?UTF-8?B?4oI=?=  \r\n =?UTF-8?B?rC50eHQ=?="), "\xE2\x82\xAC.txt");
  // Blanks between a word and plain text stay.
  EXPECT_EQ(DecodeWordsToUtf8("see =?UTF-8?Q?caf=C3=A9?= now"), "see caf\xC3\xA9 now");
  // Malformed words stay as written: no "?=", a blank inside, an unknown encoding, a bad escape.
  for (const char* t :
       {"=?UTF-8?B?YWJj", "=?UTF-8?Q?a b?=", "=?UTF-8?X?abc?=", "=?UTF-8?Q?=G1?=", "=??Q?abc?="}) {
    EXPECT_EQ(DecodeWordsToUtf8(t), t) << t;
  }
  // Raw 8-bit text outside words: UTF-8 kept, else ISO-8859-1.
  EXPECT_EQ(DecodeWordsToUtf8("na\xEFve.txt"), "na\xC3\xAFve.txt");
  // The 511-byte cut of names never leaves half a character.
  std::string longName;
  for (int i = 0; i < 300; ++i) longName += "\xC3\xA9";
  std::string cut = DecodeFileName(longName);
  EXPECT_EQ(cut.size(), 510u);
  EXPECT_TRUE(IsUtf8(cut));
  EXPECT_EQ(DecodeFileName(std::string(511, 'a')).size(), 511u);
  EXPECT_EQ(DecodeFileName(std::string(512, 'a')).size(), 511u);
}

TEST(FileNamesTest, PartsListTheirNamesInUtf8) {
  struct Case {
    const char* header;
    const char* fileName;
  } cases[] = {
      {"Content-Disposition: attachment; filename=\"=?UTF-8?B?w5xiZXJzaWNodC5wZGY=?=\"",
       "\xC3\x9C"
       "bersicht.pdf"},
      {"Content-Type: application/msword; name==?iso-8859-1?Q?r=E9sum=E9.doc?=",
       "r\xC3\xA9sum\xC3\xA9.doc"},
      {"Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC%20%F0%9F%93%8E.txt",
       "\xE2\x82\xAC \xF0\x9F\x93\x8E.txt"},
      {"Content-Disposition: attachment; filename*=windows-1252''%80uro.txt",
       "\xE2\x82\xAC"
       "uro.txt"},
      {"Content-Disposition: attachment; filename*0*=iso-8859-1''%E9;\r\n filename*1*=t%E9.txt",
       "\xC3\xA9t\xC3\xA9.txt"},
  };
  for (const Case& c : cases) {
    MimeMessage m;
    ASSERT_EQ(ParseMessageText(std::string(c.header) + "\r\n\r\nbody\r\n", &m), 0) << c.header;
    EXPECT_EQ(m.body.fileName, c.fileName) << c.header;
  }
}

TEST(FileNamesTest, SafeNamesAreOneNameInTheDirectory) {
  struct Case {
    std::string name, safe;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../etc/passwd", "_._etc_passwd"},
      {"..\\..\\boot.ini", "_._boot.ini"},
      {"/abs/path.txt", "_abs_path.txt"},
      {"..", "attachment"},
      {".", "attachment"},
      {"", "attachment"},
      {" .. . ", "attachment"},
      {".hidden", "hidden"},
      {"name...txt", "name.txt"},
      {"trailing. ", "trailing"},
      {std::string("nul\0byte.txt", 12), "nulbyte.txt"},
      {"line\r\nbreak\t.txt", "linebreak.txt"},
      {"del\x7F.txt", "del.txt"},
      {"c1\xC2\x85.txt", "c1.txt"},  // U+0085, a C1 control
      {"invoice\xE2\x80\xAE"
       "fdp.exe",
       "invoicefdp.exe"},  // a right-to-left override
      {"bad\xFF\xC0utf8.txt", "badutf8.txt"},
      {"caf\xC3\xA9 \xE2\x82\xAC.txt", "caf\xC3\xA9 \xE2\x82\xAC.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(SafeFileName(c.name), c.safe) << c.name;
  // At most 255 bytes: 255 stay, 256 are cut with the extension kept; never half a character.
  std::string at = std::string(251, 'a') + ".pdf";
  EXPECT_EQ(SafeFileName(at), at);
  EXPECT_EQ(SafeFileName("b" + at), "b" + std::string(250, 'a') + ".pdf");
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xC3\xA9";
  std::string safe = SafeFileName(wide + ".txt");
  EXPECT_LE(safe.size(), 255u);
  EXPECT_TRUE(IsUtf8(safe));
  EXPECT_EQ(safe.substr(safe.size() - 4), ".txt");
  EXPECT_EQ(SafeFileName(std::string(300, 'x')), std::string(255, 'x'));
}

}  // namespace
}  // namespace toolkit
