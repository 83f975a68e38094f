#include "platform/mapped_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

using testing_support::CTempDir;

// Resident pages of this process, in bytes (the second field of /proc/self/statm).
long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

long Touch(std::string_view view) {
  long sum = 0;
  for (size_t i = 0; i < view.size(); i += 4096) sum += view[i];
  return sum;
}

// Released pages leave the process's resident set and read back unchanged from the file.
TEST(MappedFileTest, ReleasedPagesLeaveTheResidentSetAndReadBackTheSame) {
#if defined(__SANITIZE_THREAD__)
  // The thread checker keeps shadow memory for every page touched: the resident set says
  // nothing about the mapping there.
  GTEST_SKIP() << "resident set not meaningful under the thread checker";
#endif
  CTempDir dir;
  constexpr size_t kSize = 64u << 20;
  std::string data(kSize, '\0');
  for (size_t i = 0; i < kSize; ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  ASSERT_EQ(WriteFileAtomic(dir / "big", data, false), 0);
  CMappedFile file;
  ASSERT_EQ(file.Open(dir / "big"), 0);
  ASSERT_EQ(file.View().size(), kSize);
  long before = ResidentBytes();
  long sum = Touch(file.View());
  long touched = ResidentBytes();
  EXPECT_GT(touched - before, static_cast<long>(kSize) / 2);
  file.Release(0, kSize);
  EXPECT_LT(ResidentBytes(), before + static_cast<long>(kSize) / 4);
  EXPECT_EQ(Touch(file.View()), sum);
  EXPECT_TRUE(file.View() == data);
  // Ranges that hold no whole page, or lie outside the view, change nothing.
  file.Release(1, 4095);
  file.Release(kSize, kSize + 8192);
  file.Release(100, 50);
  EXPECT_TRUE(file.View().substr(0, 8192) == std::string_view(data).substr(0, 8192));
}

TEST(MappedFileTest, EmptyMissingAndNonRegularFiles) {
  CTempDir dir;
  ASSERT_EQ(WriteFileAtomic(dir / "empty", "", false), 0);
  CMappedFile file;
  ASSERT_EQ(file.Open(dir / "empty"), 0);
  EXPECT_TRUE(file.View().empty());
  EXPECT_EQ(file.Open(dir / "missing"), -1);
  EXPECT_EQ(file.Open(dir.path()), -1);  // a directory
  ASSERT_EQ(WriteFileAtomic(dir / "small", "abc", false), 0);
  ASSERT_EQ(file.Open(dir / "small"), 0);
  CMappedFile moved = std::move(file);
  EXPECT_EQ(moved.View(), "abc");
  EXPECT_TRUE(file.View().empty());  // NOLINT(bugprone-use-after-move): moved-from is empty
}

}  // namespace
}  // namespace platform
