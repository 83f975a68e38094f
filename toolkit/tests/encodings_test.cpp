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
  // Characters outside the alphabet are ignored (RFC 2045 6.8), and so is a "=" that cannot end
  // a group; what follows a "=" that ends one is not data.
  struct Case {
    const char* text;
    const char* bytes;
  } cases[] = {{"PGh0*bWw+Cg==", "<html>\n"},
               {"YW*=", "a"},
               {"[Y W J j]", "abc"},
               {"=YWJj", "abc"},
               {"YQ==YQ==", "a"},
               {"YWJ=jZA==", "ab"}};
  for (const Case& c : cases) {
    CBase64Decoder d;
    std::string out;
    EXPECT_GE(d.Decode(c.text, &out), 0) << c.text;
    EXPECT_EQ(d.Finish(&out), 0) << c.text;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
  // A text that ends inside a group is malformed; two or three pending characters still give
  // their one or two bytes, a single one gives none.
  for (auto [text, bytes] :
       {std::pair{"YWJj YQ", "abca"}, std::pair{"YWJjYWJ", "abcab"}, std::pair{"YWJjY", "abc"}}) {
    CBase64Decoder cut;
    std::string out;
    EXPECT_GE(cut.Decode(text, &out), 0);
    EXPECT_EQ(cut.Finish(&out), kErrBadInput) << text;
    EXPECT_EQ(out, bytes) << text;
  }
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

// The streaming decoders give the same result however the text is cut: every cut in two, and
// one byte at a time.
TEST(UuencodeTest, StreamingDecoderAnyCutAndLongLines) {
  std::string data = RandomBytes(400, 5);
  std::string text =
      "preamble\r\n" + std::string(5000, 'x') + "\r\n" + Uuencode(data, 0600, "a b.bin");
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    CUudecoder d;
    std::string out;
    d.Decode(std::string_view(text).substr(0, cut), &out);
    d.Decode(std::string_view(text).substr(cut), &out);
    ASSERT_EQ(d.Finish(&out), 0) << cut;
    ASSERT_EQ(out, data) << cut;
    ASSERT_EQ(d.Name(), "a b.bin");
    ASSERT_EQ(d.Mode(), 0600u);
  }
  CUudecoder bytes;
  std::string out;
  for (char c : text) bytes.Decode(std::string_view(&c, 1), &out);
  EXPECT_EQ(bytes.Finish(&out), 0);
  EXPECT_EQ(out, data);
  // A last "end" without a line end counts; a line that only begins with "end" does not.
  CUudecoder last;
  out.clear();
  last.Decode("begin 644 x\n#86)C\n`\nend", &out);
  EXPECT_EQ(last.Finish(&out), 0);
  EXPECT_EQ(out, "abc");
  // A line longer than kMaxLine is looked at only up to there: "end" followed by more is no end
  // line, and a "begin " line's name is cut.
  CUudecoder longer;
  out.clear();
  longer.Decode(
      "begin 644 " + std::string(2000, 'n') + "\n#86)C\nend" + std::string(2000, ' ') + "\n", &out);
  EXPECT_EQ(longer.Finish(&out), kErrNoBegin);
  EXPECT_EQ(longer.Name(), std::string(CUudecoder::kMaxLine - 10, 'n'));
  EXPECT_EQ(out.substr(0, 3), "abc");  // then the long line is data: its 5 bytes follow
  EXPECT_EQ(out.size(), 8u);
}

TEST(BinHexTest, StreamingDecoderAnyCutAndChecksBeforeData) {
  BinHexFile f;
  f.name = "cut.bin";
  f.type = "BINA";
  f.creator = "mcut";
  f.data = RandomBytes(300, 6) + std::string(600, '\0') + std::string(3, '\x90');
  f.resource = "res";
  std::string text = "text before (This file must\r\n" + BinHexEncode(f) + "after\r\n";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    CBinHexDecoder d;
    std::string out, res;
    d.KeepResource(&res);
    ASSERT_EQ(d.Decode(std::string_view(text).substr(0, cut), &out), 0) << cut;
    ASSERT_EQ(d.Decode(std::string_view(text).substr(cut), &out), 0) << cut;
    ASSERT_EQ(d.Finish(), 0) << cut;
    ASSERT_EQ(out, f.data) << cut;
    ASSERT_EQ(res, f.resource) << cut;
    ASSERT_EQ(d.Header().name, f.name);
  }
  CBinHexDecoder bytes;
  std::string out;
  for (char c : text) ASSERT_EQ(bytes.Decode(std::string_view(&c, 1), &out), 0);
  EXPECT_EQ(bytes.Finish(), 0);
  EXPECT_EQ(out, f.data);
  // Only the checks (no output) give the same verdict.
  CBinHexDecoder checks;
  EXPECT_EQ(checks.Decode(text, nullptr), 0);
  EXPECT_EQ(checks.Finish(), 0);
  // A damaged header: nothing of the data fork is given.
  std::string broken = text;
  size_t colon = broken.find("\r\n:") + 3;
  broken[colon + 2] = broken[colon + 2] == 'A' ? 'B' : 'A';
  CBinHexDecoder header;
  out.clear();
  EXPECT_EQ(header.Decode(broken, &out), kErrBadInput);
  EXPECT_EQ(out, "");
  EXPECT_EQ(header.Decode("more", &out), kErrBadInput);  // stays failed
  EXPECT_EQ(header.Finish(), kErrBadInput);
  // The text ends inside the resource fork, or without the closing colon.
  std::string encoded = BinHexEncode(f);
  size_t close = encoded.rfind(':');
  CBinHexDecoder cutShort;
  out.clear();
  EXPECT_EQ(cutShort.Decode(encoded.substr(0, close - 3), &out), 0);
  EXPECT_EQ(cutShort.Finish(), kErrBadInput);
  CBinHexDecoder open;
  EXPECT_EQ(open.Decode(encoded.substr(0, close), nullptr), 0);
  EXPECT_EQ(open.Finish(), kErrBadInput);
  // A repeat count before any byte is malformed.
  f.data = std::string(5000, 'r');
  CBinHexDecoder runs;
  out.clear();
  EXPECT_EQ(runs.Decode(BinHexEncode(f), &out), 0);
  EXPECT_EQ(runs.Finish(), 0);
  EXPECT_EQ(out, f.data);
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
