#include "store/queue_files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "store/line_file.h"
#include "store/queue_profile.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

using testing_support::Read;

TEST(SequenceTest, StartsAtOneWrapsAfter999999AndReadsPaddedFiles) {
  CTempDir dir;
  EXPECT_EQ(NextSequenceNumber(dir.path()), 1);  // no useqf yet
  EXPECT_EQ(Read(dir / "useqf"), "1");
  EXPECT_FALSE(platform::FileExists(dir / "useqf.tri"));
  ASSERT_EQ(platform::WriteFileAtomic(dir / "useqf", ""), 0);
  EXPECT_EQ(NextSequenceNumber(dir.path()), 1);  // empty file
  ASSERT_EQ(platform::WriteFileAtomic(dir / "useqf", "999999"), 0);
  EXPECT_EQ(NextSequenceNumber(dir.path()), 0);
  EXPECT_EQ(Read(dir / "useqf"), "0");
  ASSERT_EQ(platform::WriteFileAtomic(dir / "useqf", "         1"), 0);  // "%10.lu" of a new box
  EXPECT_EQ(NextSequenceNumber(dir.path()), 2);
  EXPECT_EQ(NextSequenceNumber(dir / "missing"), -1);
}

TEST(SequenceTest, AHeldLockFailsAfterAboutFiveSeconds) {
  CTempDir dir;
  platform::CExclusiveFile held;
  ASSERT_TRUE(held.TryCreate(dir / "useqf.tri"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NextSequenceNumber(dir.path()), -1);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::milliseconds(8000));
  EXPECT_TRUE(platform::FileExists(dir / "useqf.tri"));  // not ours to remove
  held.Release();
  // A lock whose maker died (nobody holds it) does not block: it is taken over at once.
  ASSERT_EQ(platform::WriteFileAtomic(dir / "useqf.tri", ""), 0);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(NextSequenceNumber(dir.path()), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_FALSE(platform::FileExists(dir / "useqf.tri"));
}

// Takes `each` numbers on each of `threads` threads; the numbers in the order they came.
std::vector<long> TakeNumbers(const std::string& dir, int threads, int each) {
  std::vector<long> numbers;
  std::mutex m;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < each; ++i) {
        long n = NextSequenceNumber(dir);
        std::lock_guard<std::mutex> lock(m);
        numbers.push_back(n);
      }
    });
  }
  for (auto& w : workers) w.join();
  return numbers;
}

// 4 threads in 2 processes take 2,000 numbers each: all 8,000 differ, counting the wrap.
TEST(SequenceTest, ThreadsAndProcessesNeverShareANumber) {
  CTempDir dir;
  constexpr int kEach = 2000;
  ASSERT_EQ(platform::WriteFileAtomic(dir / "useqf", "997000"), 0);  // wraps during the run
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    std::vector<long> mine = TakeNumbers(dir.path(), 2, kEach);
    (void)!::write(out[1], mine.data(), mine.size() * sizeof(long));
    ::_exit(0);
  }
  ::close(out[1]);
  std::vector<long> numbers = TakeNumbers(dir.path(), 2, kEach);
  long n;
  while (::read(out[0], &n, sizeof n) == sizeof n) numbers.push_back(n);
  ::close(out[0]);
  ::waitpid(child, nullptr, 0);
  ASSERT_EQ(numbers.size(), 8000u);
  std::set<long> distinct(numbers.begin(), numbers.end());
  EXPECT_EQ(distinct.size(), 8000u);
  EXPECT_EQ(distinct.count(-1), 0u);
  // 997001..999999 (2999 numbers), then 0..5000 after the wrap.
  EXPECT_EQ(*distinct.begin(), 0);
  EXPECT_EQ(*distinct.rbegin(), 999999);
  EXPECT_EQ(Read(dir / "useqf"), "5000");
  EXPECT_FALSE(platform::FileExists(dir / "useqf.tri"));
}

TEST(UniqueNameTest, DigitsFollowThePrefixAndTheLimitStops) {
  CTempDir dir;
  std::string out;
  ASSERT_EQ(MakeUniqueFileName(&out, dir.path(), "m", 42, 100, "mim"), 0);
  EXPECT_EQ(out, dir / "m0000042.mim");
  ASSERT_EQ(MakeUniqueFileName(&out, dir.path() + "/", "", 7, 1, "TMP"), 0);
  EXPECT_EQ(out, dir / "00000007.TMP");
  // An existing name (in either case) is skipped.
  ASSERT_EQ(platform::WriteFileAtomic(dir / "M0000042.MIM", "x"), 0);
  ASSERT_EQ(MakeUniqueFileName(&out, dir.path(), "m", 42, 100, "mim"), 0);
  EXPECT_EQ(out, dir / "m0000043.mim");

  for (long n = 9999995; n <= 9999999; ++n) {
    ASSERT_EQ(platform::WriteFileAtomic(dir / ("R" + std::to_string(n) + ".TMP"), ""), 0);
  }
  EXPECT_EQ(MakeUniqueFileName(&out, dir.path(), "R", 9999995, 100, "TMP"), kErrNameExhausted);
  EXPECT_EQ(MakeUniqueFileName(&out, dir.path(), "R", 10000001, 100, "TMP"), kErrFirstTooLarge);
  EXPECT_EQ(MakeUniqueFileName(&out, dir / "none", "R", 0, 10, "TMP"), kErrNoDirectory);
}

// Past a few taken candidates the search reads the directory once and goes on from memory; the
// answer is the same as name by name: a name counts as taken in the spellings the store's writers
// use (prefix and extension each in upper or lower case), and only in those.
TEST(UniqueNameTest, ALongRunOfTakenNamesInEveryCaseIsPassedOver) {
  CTempDir dir;
  const char* forms[] = {"M%07ld.MIM", "m%07ld.mim", "m%07ld.MIM", "M%07ld.mim"};
  for (long n = 1; n <= 140; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, forms[n % 4], n);
    ASSERT_EQ(platform::WriteFileAtomic(dir / name, ""), 0);
  }
  ASSERT_EQ(platform::WriteFileAtomic(dir / "M0000141.Mim", ""), 0);  // no writer spells so
  ASSERT_EQ(platform::WriteFileAtomic(dir / "B0000142.MIM", ""), 0);  // other prefixes are free
  std::string out;
  ASSERT_EQ(MakeUniqueFileName(&out, dir.path(), "m", 1, 1000, "mim"), 0);
  EXPECT_EQ(out, dir / "m0000141.mim");
  ASSERT_EQ(MakeUniqueFileName(&out, dir.path(), "M", 3, -1, "MIM"), 0);
  EXPECT_EQ(out, dir / "M0000141.MIM");
  // Name by name (the first candidates) and from the listing (the later ones) agree.
  for (long first = 1; first <= 140; first += 7) {
    ASSERT_EQ(MakeUniqueFileName(&out, dir.path(), "M", first, 1000, "MIM"), 0) << first;
    EXPECT_EQ(out, dir / "M0000141.MIM") << first;
  }
  // The window of tries ends at the last taken name: N tries, N taken names.
  EXPECT_EQ(MakeUniqueFileName(&out, dir.path(), "m", 1, 140, "mim"), kErrNameExhausted);
  EXPECT_EQ(MakeUniqueFileName(&out, dir.path(), "m", 1, 141, "mim"), 0);
  EXPECT_EQ(out, dir / "m0000141.mim");
}

TEST(StatusLineTest, ReadWriteInPlaceAndAddFlags) {
  CTempDir dir;
  std::string msg = dir / "M0000001.MIM";
  ASSERT_EQ(platform::WriteFileAtomic(msg, "X-IStatus:00000000000000000003\r\nSubject: hi\r\n\r\nbody\r\n"), 0);
  EXPECT_EQ(ReadStatus(msg), 3u);
  EXPECT_EQ(AddStatusFlags(msg, 0x802), 0);
  EXPECT_EQ(ReadStatus(msg), 2051u);
  EXPECT_EQ(Read(msg), "X-IStatus:00000000000000002051\r\nSubject: hi\r\n\r\nbody\r\n");
  EXPECT_EQ(StatusLine(kStatusNew), "X-IStatus:00000000000000000003");

  std::string plain = dir / "M0000002.MIM";
  ASSERT_EQ(platform::WriteFileAtomic(plain, "Subject: no status\r\n\r\nbody\r\n"), 0);
  EXPECT_EQ(ReadStatus(plain), 0u);
  EXPECT_EQ(WriteStatus(plain, 3), -1);
  EXPECT_EQ(Read(plain), "Subject: no status\r\n\r\nbody\r\n");  // left unchanged
  EXPECT_EQ(WriteStatus(dir / "missing", 3), -1);
  // The prefix is case-sensitive.
  ASSERT_EQ(platform::WriteFileAtomic(plain, "x-istatus:00000000000000000003\r\n"), 0);
  EXPECT_EQ(ReadStatus(plain), 0u);
}

TEST(QueueProfileTest, KeysMustBeFollowedByEqualsOrBlank) {
  CTempDir dir;
  std::string env = dir / "R0000001.TMP";
  ASSERT_EQ(platform::WriteFileAtomic(env, "[FROM]\r\nFrom=a@b.test\r\nSubject=  hello\r\n"
                                           "[TO]\r\nname=x\r\n  N =3\r\n0=c@d.test\r\n"), 0);
  std::string v;
  EXPECT_EQ(QueueProfileGet("To", "n", "0", &v, 128, env), 1);
  EXPECT_EQ(v, "3");
  EXPECT_EQ(QueueProfileGet("from", "subject", "", &v, 128, env), 5);
  EXPECT_EQ(v, "hello");
  EXPECT_EQ(QueueProfileGet("From", "From", "", &v, 4, env), -1);  // cut to size-1
  EXPECT_EQ(v, "a@b");
  EXPECT_EQ(QueueProfileGet("From", "ReplyTo", "  none", &v, 128, env), 4);
  EXPECT_EQ(v, "none");
  EXPECT_EQ(QueueProfileGet("To", "From", "dflt", &v, 128, env), 4);  // section bounded
}

TEST(QueueProfileTest, SetReplacesInsertsAppendsAndRemoves) {
  CTempDir dir;
  std::string env = dir / "I0000001.MIM";
  ASSERT_EQ(QueueProfileSet("From", "From", "a@b.test", env), 0);
  ASSERT_EQ(QueueProfileSet("To", "n", "1", env), 0);
  ASSERT_EQ(QueueProfileSet("To", "0", "c@d.test", env), 0);
  ASSERT_EQ(QueueProfileSet("From", "Subject", "(empty)", env), 0);
  ASSERT_EQ(QueueProfileSet("from", "FROM", "z@b.test", env), 0);
  // A missing key goes right before the next section; a replaced one takes the caller's spelling.
  EXPECT_EQ(Read(env),
            "\r\n[From]\r\nFROM=z@b.test\r\n\r\nSubject=(empty)\r\n[To]\r\nn=1\r\n0=c@d.test\r\n");
  ASSERT_EQ(QueueProfileSet("From", "Subject", "", env), 0);
  EXPECT_EQ(Read(env), "\r\n[From]\r\nFROM=z@b.test\r\n\r\n[To]\r\nn=1\r\n0=c@d.test\r\n");
  EXPECT_FALSE(platform::FileExists(dir / "I0000001.in2"));
}

TEST(LineFileTest, LinesEndAtLfWithOptionalCrAcrossBlocks) {
  CTempDir dir;
  std::string text = "one\r\n" + std::string(700, 'x') + "\nthree\r\nlast";
  ASSERT_EQ(platform::WriteFileAtomic(dir / "f", text), 0);
  CLineFile f;
  ASSERT_EQ(f.Open(dir / "f", platform::FileMode::kRead), 0);
  std::string line;
  ASSERT_EQ(f.ReadLine(&line), 0);
  EXPECT_EQ(line, "one");
  ASSERT_EQ(f.ReadLine(&line, 100), 0);
  EXPECT_EQ(line, std::string(100, 'x'));  // cut; the rest of the line is skipped
  ASSERT_EQ(f.ReadLine(&line), 0);
  EXPECT_EQ(line, "three");
  ASSERT_EQ(f.ReadLine(&line), 0);
  EXPECT_EQ(line, "last");
  EXPECT_EQ(f.ReadLine(&line), kErrEndOfFile);
  f.Close();
  EXPECT_EQ(f.ReadLine(&line), kErrClosed);
  EXPECT_EQ(f.Write("x"), kErrClosed);
  EXPECT_EQ(f.Open(dir / "missing/f", platform::FileMode::kRead), kErrOpen);
}

// Pieces of at most N characters: a line of exactly N comes whole, N+1 in two pieces; a CR at a
// piece's end stays content unless the LF follows it, whichever block the LF comes in.
TEST(LineFileTest, PiecesRebuildEveryLineWhateverItsLength) {
  CTempDir dir;
  const size_t n = 600;  // more than one 512-byte block
  std::string exact(n, 'a'), over(n + 1, 'b'), crInside = std::string(n - 1, 'c') + "\rz";
  std::string text = exact + "\r\n" + over + "\n" + crInside + "\r\n";
  // A line whose CR is the last character of a block, its LF the first of the next.
  const size_t block = CLineFile::kBlockSize;
  const size_t dLen = (text.size() / block + 2) * block - 1 - text.size();
  text += std::string(dLen, 'd') + "\r\n" + "\r\n" + std::string(2 * n, 'e') +
          "\r";  // no LF at the end
  ASSERT_EQ(platform::WriteFileAtomic(dir / "f", text), 0);
  CLineFile f;
  ASSERT_EQ(f.Open(dir / "f", platform::FileMode::kRead), 0);
  std::vector<std::pair<std::string, bool>> pieces;
  std::string piece;
  bool end = false;
  while (f.ReadLinePiece(&piece, n, &end) == 0) pieces.emplace_back(piece, end);
  std::vector<std::pair<std::string, bool>> expected = {
      {exact, true},
      {std::string(n, 'b'), false},
      {"b", true},
      {crInside.substr(0, n), false},
      {"z", true},
      {std::string(n, 'd'), false},
      {std::string(dLen - n, 'd'), true},
      {"", true},
      // The last line's CR is held back until the end of the file shows it ends the line.
      {std::string(n, 'e'), false},
      {std::string(n, 'e'), false},
      {"", true}};
  EXPECT_EQ(pieces, expected);
  EXPECT_EQ(f.ReadLinePiece(&piece, n, &end), kErrEndOfFile);
}

}  // namespace
}  // namespace store
