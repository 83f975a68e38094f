// Parts decoded from mapped message files, piece by piece.
#include <gtest/gtest.h>

#include <random>

#include "platform/fs.h"
#include "testing/temp_dir.h"
#include "toolkit/encodings.h"
#include "toolkit/mime_parser.h"
#include "toolkit/tests/binhex_writer.h"

namespace toolkit {
namespace {

using testing_support::CTempDir;

std::string Decoded(std::string_view text, const MimePart& part, int* rc = nullptr) {
  std::string out;
  int r = DecodePart(text, part, [&](std::string_view piece) {
    out.append(piece);
    return 0;
  });
  if (rc != nullptr) *rc = r;
  return out;
}

std::string Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// A BinHex part (application/mac-binhex40) decodes to its data fork; a broken one is an error.
TEST(DecodePartTest, BinHexPartsGiveTheirDataFork) {
  BinHexFile f;
  f.name = "notes.txt";
  f.type = "TEXT";
  f.creator = "ttxt";
  f.data = Random(5000, 1) + std::string(400, '\x90');
  f.resource = "rsrc";
  std::string text =
      "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: "
      "text/plain\r\n\r\nhi\r\n"
      "--m\r\nContent-Type: application/mac-binhex40; name=\"notes.txt\"\r\n\r\n" +
      BinHexEncode(f) + "--m--\r\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  ASSERT_EQ(m.body.children.size(), 2u);
  const MimePart& part = m.body.children[1];
  EXPECT_EQ(part.encoding, kBinHex);
  int rc = -1;
  EXPECT_EQ(Decoded(text, part, &rc), f.data);
  EXPECT_EQ(rc, 0);
  // One character changed: the CRC fails and nothing is written.
  std::string broken = text;
  broken[text.find("\r\n:", part.begin) + 200] ^= 1;
  ASSERT_EQ(ParseMessageText(broken, &m), 0);
  EXPECT_EQ(Decoded(broken, m.body.children[1], &rc), "");
  EXPECT_EQ(rc, kErrBadInput);
}

// Base64 and quoted-printable content longer than one piece decodes whole; the quoted-printable
// text keeps its LF line ends, and a line longer than a piece is not cut.
TEST(DecodePartTest, LongPartsDecodeAcrossPieces) {
  std::string data = Random(3'000'000, 2);
  std::string longLine(1'500'000, 'q');
  std::string qpText = "first line\n" + longLine + "\nlast=3D line=\n joined\n";
  std::string text =
      "Content-Type: multipart/mixed; boundary=z\n\n--z\nContent-Transfer-Encoding: base64\n\n" +
      EncodeBase64Lines(data) + "--z\nContent-Transfer-Encoding: quoted-printable\n\n" + qpText +
      "--z\nContent-Transfer-Encoding: base64\n\nYWJjZ\n--z--\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  ASSERT_EQ(m.body.children.size(), 3u);
  int rc = -1;
  EXPECT_EQ(Decoded(text, m.body.children[0], &rc), data);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Decoded(text, m.body.children[1], &rc),
            "first line\n" + longLine + "\nlast= line joined");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Decoded(text, m.body.children[2], &rc), "abc");  // cut inside its second group
  EXPECT_EQ(rc, kErrBadInput);
  // A writer's error stops the decoding and is the result.
  int calls = 0;
  EXPECT_EQ(
      DecodePart(text, m.body.children[0], [&](std::string_view) { return ++calls == 2 ? -7 : 0; }),
      -7);
  EXPECT_EQ(calls, 2);
}

// Uuencoded and BinHex parts are decoded as they are read: no piece handed to the writer is
// bigger than the encoded text of one step, however big the part. A uuencoded part without its
// "end" line is an error after its lines were written; a BinHex part is checked whole first.
TEST(DecodePartTest, UuencodeAndBinHexPartsStream) {
  std::string data = Random(4'000'000, 4);
  BinHexFile f;
  f.name = "big.bin";
  f.type = "BINA";
  f.creator = "test";
  f.data = data + std::string(2'000'000, '\0');  // runs expand far beyond their text
  f.resource = "";
  std::string uu = Uuencode(data, 0644, "big.bin");
  std::string text =
      "Content-Type: multipart/mixed; boundary=s\r\n\r\n--s\r\n"
      "Content-Transfer-Encoding: x-uuencode\r\n\r\n" +
      uu + "--s\r\nContent-Type: application/mac-binhex40\r\n\r\n" + BinHexEncode(f) +
      "--s\r\nContent-Transfer-Encoding: x-uuencode\r\n\r\n" + uu.substr(0, uu.size() - 4) +
      "--s--\r\n";
  MimeMessage m;
  ASSERT_EQ(ParseMessageText(text, &m), 0);
  ASSERT_EQ(m.body.children.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    std::string out;
    size_t largest = 0, calls = 0;
    int rc = DecodePart(text, m.body.children[i], [&](std::string_view piece) {
      largest = std::max(largest, piece.size());
      ++calls;
      out.append(piece);
      return 0;
    });
    EXPECT_EQ(rc, 0) << i;
    EXPECT_EQ(out, i == 0 ? data : f.data) << i;
    EXPECT_GT(calls, 3u) << i;
    EXPECT_LE(largest, 1u << 20) << i;
  }
  int rc = 0;
  EXPECT_EQ(Decoded(text, m.body.children[2], &rc), data);
  EXPECT_EQ(rc, kErrBadInput);
}

// A message file is mapped and parsed; the scan reports what it has passed, and every byte of
// the text lies in exactly one reported range of each scan. A missing file is -4; an empty file
// is an empty message.
TEST(DecodePartTest, MappedFilesAndThePassedRanges) {
  CTempDir dir;
  std::string data = Random(12'000'000, 3);
  std::string text =
      "Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\nContent-Transfer-Encoding: "
      "base64\r\n\r\n" +
      EncodeBase64Lines(data) + "--z--\r\n";
  ASSERT_EQ(platform::WriteFileAtomic(dir / "big.eml", text), 0);
  MimeMessage m;
  platform::CMappedFile file;
  ASSERT_EQ(ParseMessageFile(dir / "big.eml", &m, &file), 0);
  ASSERT_EQ(file.View().size(), text.size());
  ASSERT_EQ(m.body.children.size(), 1u);
  EXPECT_EQ(Decoded(file.View(), m.body.children[0]), data);  // released pages read again

  std::vector<std::pair<size_t, size_t>> ranges;
  ParseOptions options;
  options.passed = [&](size_t b, size_t e) { ranges.emplace_back(b, e); };
  ASSERT_EQ(ParseMessageText(text, &m, options), 0);
  ASSERT_GE(ranges.size(), 1u);  // 16 MB of text: at least one 8 MiB step
  for (size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_LT(ranges[i].first, ranges[i].second);
    EXPECT_LE(ranges[i].second, text.size());
    if (i > 0) {
      EXPECT_EQ(ranges[i].first, ranges[i - 1].second);
    }
  }
  size_t pieces = 0, covered = m.body.children[0].begin;
  DecodePart(
      text, m.body.children[0], [](std::string_view) { return 0; },
      [&](size_t b, size_t e) {
        EXPECT_EQ(b, covered);
        covered = e;
        ++pieces;
      });
  EXPECT_EQ(covered, m.body.children[0].end);
  EXPECT_GE(pieces, 16u);  // pieces of at most 1 MiB

  EXPECT_EQ(ParseMessageFile(dir / "missing.eml", &m, &file), kErrCannotOpen);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "empty.eml", ""), 0);
  ASSERT_EQ(ParseMessageFile(dir / "empty.eml", &m, &file), 0);
  EXPECT_EQ(file.View().size(), 0u);
  EXPECT_EQ(m.body.type, kText);
}

}  // namespace
}  // namespace toolkit
