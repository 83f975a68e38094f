#include "toolkit/encoding_files.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/fs.h"
#include "testing/temp_dir.h"
#include "toolkit/encodings.h"

namespace toolkit {
namespace {

using testing_support::CTempDir;

using testing_support::Read;

// Files larger than every block size, so that blocks and groups meet at every boundary.
TEST(EncodingFilesTest, LargeFilesRoundTripThroughFixedBlocks) {
  CTempDir dir;
  std::mt19937 rng(5);
  std::string data(300001, '\0');
  for (char& c : data) c = static_cast<char>(rng() & 0xFF);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "in.bin", data, false), 0);

  ASSERT_EQ(EncodeBase64File(dir / "in.bin", dir / "b64.txt"), 0);
  EXPECT_EQ(Read(dir / "b64.txt"), EncodeBase64Lines(data));
  ASSERT_EQ(DecodeBase64File(dir / "b64.txt", dir / "b64.out"), 0);
  EXPECT_EQ(Read(dir / "b64.out"), data);

  ASSERT_EQ(EncodeQuotedPrintableFile(dir / "in.bin", dir / "qp.txt"), 0);
  CQuotedPrintableEncoder whole;
  std::string expected;
  whole.Encode(data, &expected);
  whole.Finish(&expected);
  EXPECT_EQ(Read(dir / "qp.txt"), expected);
  ASSERT_EQ(DecodeQuotedPrintableFile(dir / "qp.txt", dir / "qp.out"), 0);
  EXPECT_EQ(Read(dir / "qp.out"), DecodeQuotedPrintable(expected));

  ASSERT_EQ(UuencodeFile(dir / "in.bin", dir / "uu.txt", "in.bin"), 0);
  EXPECT_EQ(Read(dir / "uu.txt"), Uuencode(data, 0644, "in.bin"));
  std::string name;
  ASSERT_EQ(UudecodeFile(dir / "uu.txt", dir / "uu.out", &name), 0);
  EXPECT_EQ(Read(dir / "uu.out"), data);
  EXPECT_EQ(name, "in.bin");
}

TEST(EncodingFilesTest, APartIsDecodedFromItsByteRange) {
  CTempDir dir;
  std::string part = EncodeBase64Lines("attachment bytes");
  std::string message = "Subject: x\r\n\r\n" + part + "--boundary--\r\n";
  ASSERT_EQ(platform::WriteFileAtomic(dir / "m.eml", message, false), 0);
  uint64_t begin = message.find(part), end = begin + part.size();
  ASSERT_EQ(DecodeBase64File(dir / "m.eml", dir / "part.bin", begin, end), 0);
  EXPECT_EQ(Read(dir / "part.bin"), "attachment bytes");
  EXPECT_EQ(DecodeBase64File(dir / "missing", dir / "x"), -4);
  EXPECT_EQ(EncodeBase64File(dir / "m.eml", dir / "no/such/dir/x"), -4);
  // A text cut inside a group is malformed; the whole bytes before the cut are still written.
  ASSERT_EQ(platform::WriteFileAtomic(dir / "bad.txt", "YWJjZGV", false), 0);
  EXPECT_EQ(DecodeBase64File(dir / "bad.txt", dir / "bad.out"), kErrBadInput);
  EXPECT_EQ(Read(dir / "bad.out"), "abcde");
}

}  // namespace
}  // namespace toolkit
