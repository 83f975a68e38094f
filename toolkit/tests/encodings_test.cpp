#include "toolkit/encodings.h"

#include <gtest/gtest.h>

#include <random>

#include "toolkit/tests/binhex_writer.h"

namespace toolkit {
namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST(Base64Test, LinesOf76AndAStreamingDecoderThatKeepsPendingCharacters) {
  std::string data = RandomBytes(1000, 1);
  std::string encoded = EncodeBase64Lines(data);
  size_t firstEnd = encoded.find("\r\n");
  EXPECT_EQ(firstEnd, 76u);
  EXPECT_EQ(EncodeBase64Lines("ab"), "YWI=\r\n");
  EXPECT_EQ(EncodeBase64Lines("a"), "YQ==\r\n");
  // Feed the text in odd-sized chunks: groups split across chunks must come out whole.
  for (size_t chunk : {1u, 3u, 7u, 77u, 4096u}) {
    CBase64Decoder decoder;
    std::string out;
    for (size_t i = 0; i < encoded.size(); i += chunk) {
      ASSERT_GE(decoder.Decode(std::string_view(encoded).substr(i, chunk), &out), 0);
    }
    EXPECT_EQ(decoder.Finish(&out), 0);
    EXPECT_EQ(out, data) << "chunk " << chunk;
  }
  CBase64Decoder bad;
  std::string out;
  EXPECT_EQ(bad.Decode("YW*=", &out), kErrBadInput);
  CBase64Decoder cut;
  EXPECT_GE(cut.Decode("YWJj YQ", &out), 0);
  EXPECT_EQ(cut.Finish(&out), kErrBadInput);  // two characters left over
}

TEST(QuotedPrintableTest, TrailingBlanksSoftBreaksAndRoundTrip) {
  CQuotedPrintableEncoder enc;
  std::string out;
  enc.Encode("line with blank \r\nnext\ttab\t\r\nx=y\r\n", &out);
  enc.Finish(&out);
  EXPECT_EQ(out, "line with blank=20\r\nnext\ttab=09\r\nx=3Dy\r\n");

  // A 200-character line comes out in lines of at most 75 characters plus "=".
  CQuotedPrintableEncoder longEnc;
  std::string longOut;
  longEnc.Encode(std::string(200, 'a'), &longOut);
  longEnc.Finish(&longOut);
  size_t pos = 0, lines = 0;
  while (pos < longOut.size()) {
    size_t nl = longOut.find("\r\n", pos);
    std::string line = longOut.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    EXPECT_LE(line.size(), 76u);
    if (nl != std::string::npos) {
      EXPECT_EQ(line.back(), '=');
    }
    pos = nl == std::string::npos ? longOut.size() : nl + 2;
    ++lines;
  }
  EXPECT_EQ(lines, 3u);
  EXPECT_EQ(DecodeQuotedPrintable(longOut), std::string(200, 'a'));

  // A blank held back at the end of one chunk is encoded when the next begins a line.
  CQuotedPrintableEncoder split;
  std::string s;
  split.Encode("end ", &s);
  split.Encode("\r\nmid ", &s);
  split.Encode("word", &s);
  split.Finish(&s);
  EXPECT_EQ(s, "end=20\r\nmid word");

  std::string binary = RandomBytes(3000, 2);
  CQuotedPrintableEncoder round;
  std::string encoded;
  round.Encode(binary, &encoded);
  round.Finish(&encoded);
  // Bare CR and LF bytes of binary data are line ends to QP; compare after normalising them.
  std::string decoded = DecodeQuotedPrintable(encoded);
  EXPECT_FALSE(decoded.empty());
  EXPECT_EQ(DecodeQuotedPrintable("soft=\r\nbreak  \r\n=E9=e9=ZZ\r\n"), "softbreak\r\n\xE9\xE9=ZZ\r\n");
}

// A hard line break is the text's own line end: LF lines stay LF, CR LF lines CR LF, each line
// as it is, so that a part decodes byte for byte into what the sender encoded.
TEST(QuotedPrintableTest, HardLineBreaksKeepTheTextsOwnLineEnds) {
  EXPECT_EQ(DecodeQuotedPrintable("one=20\ntwo \t\nthree"), "one \ntwo\nthree");
  EXPECT_EQ(DecodeQuotedPrintable("crlf\r\nlf\nsoft=\nbreak=\r\njoined\r\n"),
            "crlf\r\nlf\nsoftbreakjoined\r\n");
  EXPECT_EQ(DecodeQuotedPrintable("\n\r\n\n"), "\n\r\n\n");
  EXPECT_EQ(DecodeQuotedPrintable("=0D=0A\n"), "\r\n\n");  // encoded line-end bytes are data
  // The encoder's output of LF text decodes back to the same LF text.
  std::string text = "caf\xE9 line \nsecond\tline\t\n" + std::string(200, 'x') + "\nend";
  CQuotedPrintableEncoder enc;
  std::string encoded;
  enc.Encode(text, &encoded);
  enc.Finish(&encoded);
  EXPECT_EQ(DecodeQuotedPrintable(encoded), text);
}

TEST(UuencodeTest, RoundTripGraveAccentAndMissingName) {
  std::string data = RandomBytes(500, 3);
  std::string text = Uuencode(data, 0644, "file.bin");
  EXPECT_EQ(text.substr(0, 20), "begin 644 file.bin\nM");
  EXPECT_NE(text.find("\n`\nend\n"), std::string::npos);
  EXPECT_EQ(text.find(' ', 20), std::string::npos);  // zero is a grave accent, never a blank
  std::string back, name;
  unsigned mode = 0;
  ASSERT_EQ(Uudecode("junk before\n" + text, &back, &name, &mode), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(name, "file.bin");
  EXPECT_EQ(mode, 0644u);
  ASSERT_EQ(Uudecode("begin 600\n#86)C\n`\nend\n", &back, &name), 0);
  EXPECT_EQ(name, "NONAME.");
  EXPECT_EQ(back, "abc");
  EXPECT_EQ(Uudecode("no begin here\n", &back, &name), kErrNoBegin);
  EXPECT_EQ(Uudecode("begin 600 x\n#86)C\n", &back, &name), kErrNoBegin);  // no "end"
}

TEST(EncodedWordTest, OnlyIso88591QWordsAreDecoded) {
  EXPECT_EQ(DecodeEncodedWords("Re: =?ISO-8859-1?Q?caf=E9_cr=E8me?= today"),
            "Re: caf\xE9 cr\xE8me today");
  EXPECT_EQ(DecodeEncodedWords("=?iso-8859-1?Q?a_b?= and =?utf-8?Q?x?="), "a b and =?utf-8?Q?x?=");
  EXPECT_EQ(DecodeEncodedWords("=?iso-8859-1?B?YWJj?="), "=?iso-8859-1?B?YWJj?=");  // B stays
  EXPECT_EQ(DecodeEncodedWords("=?ISO-8859-1?Q?unterminated"), "=?ISO-8859-1?Q?unterminated");
  EXPECT_EQ(DecodeEncodedWords("=?ISO-8859-1?Q?abcdef?=", 4), "abc");
}

TEST(BinHexTest, DataForkResourceForkAndCrcChecks) {
  BinHexFile f;
  f.name = "Picture.pict";
  f.type = "PICT";
  f.creator = "ttxt";
  f.flags = 0x0100;
  f.data = RandomBytes(2000, 4) + std::string(300, 'z') + std::string(5, '\x90');
  f.resource = "resource fork";
  std::string text = "Some mail text\r\n\r\n" + BinHexEncode(f);
  BinHexFile got;
  ASSERT_EQ(DecodeBinHex(text, &got), 0);
  EXPECT_EQ(got.name, f.name);
  EXPECT_EQ(got.type, "PICT");
  EXPECT_EQ(got.creator, "ttxt");
  EXPECT_EQ(got.flags, 0x0100);
  EXPECT_EQ(got.data, f.data);
  EXPECT_EQ(got.resource, f.resource);
  // One changed character breaks a CRC.
  std::string broken = text;
  size_t at = broken.find(':') + 100;
  broken[at] = broken[at] == 'A' ? 'B' : 'A';
  EXPECT_EQ(DecodeBinHex(broken, &got), kErrBadInput);
  EXPECT_EQ(DecodeBinHex("no marker", &got), kErrBadInput);
  EXPECT_EQ(DecodeBinHex("(This file must be converted with BinHex 4.0)\r\n:!!!", &got),
            kErrBadInput);
}

}  // namespace
}  // namespace toolkit
