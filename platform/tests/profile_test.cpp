#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/fs.h"
#include "platform/path.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

using testing_support::CTempDir;

TEST(ProfileTest, ReadsWithoutCaseTrimsAndUnquotesOnePair) {
  CTempDir dir;
  std::string file = dir / "NEXUM2.INI";
  ASSERT_EQ(WriteFileAtomic(file,
                            "; comment=ignored\n[SMTP]\n  Domain =  example.test  \r\n"
                            "Quoted=\"  two  \"\nDouble=\"\"inner\"\"\nEmpty=\n"
                            "[ dns ]\nserver1=127.0.0.1\n"),
            0);
  EXPECT_EQ(GetProfileString(file, "smtp", "DOMAIN", "d"), "example.test");
  EXPECT_EQ(GetProfileString(file, "SMTP", "quoted", "d"), "  two  ");
  EXPECT_EQ(GetProfileString(file, "SMTP", "double", "d"), "\"inner\"");
  EXPECT_EQ(GetProfileString(file, "SMTP", "Empty", "d"), "");
  EXPECT_EQ(GetProfileString(file, "DNS", "server1", "d"), "127.0.0.1");
  EXPECT_EQ(GetProfileString(file, "SMTP", "missing", "dflt"), "dflt");
  EXPECT_EQ(GetProfileString(file, "Nope", "Domain", "dflt"), "dflt");
  EXPECT_EQ(GetProfileString(dir / "absent.ini", "SMTP", "Domain", "dflt"), "dflt");
  EXPECT_EQ(GetProfileString(file, "SMTP", "Domain", "", 7), "example");
  // A comment line is not a key even when it holds "=".
  EXPECT_EQ(GetProfileString(file, "SMTP", "; comment", "none"), "none");
}

TEST(ProfileTest, IntegersFollowDecimalConversionRules) {
  CTempDir dir;
  std::string file = dir / "a.ini";
  ASSERT_EQ(WriteFileAtomic(file, "[s]\na=42\nb= -7x\nc=abc\nd=99999999999999999999\n"), 0);
  EXPECT_EQ(GetProfileLong(file, "s", "a", 1), 42);
  EXPECT_EQ(GetProfileLong(file, "s", "b", 1), -7);
  EXPECT_EQ(GetProfileLong(file, "s", "c", 1), 0);  // non-numeric reads as 0, not the default
  EXPECT_EQ(GetProfileLong(file, "s", "missing", -1), -1);
  EXPECT_GT(GetProfileLong(file, "s", "d", 0), 0);  // saturates instead of wrapping
}

TEST(ProfileTest, WritesCreateFileAndSectionKeepOtherLinesAndUseCrLf) {
  CTempDir dir;
  std::string file = dir / "x.ini";
  ASSERT_EQ(WriteProfileString(file, "SMTP", "Domain", "example.test"), 0);
  ASSERT_EQ(WriteProfileString(file, "smtp", "smtpport", "2525"), 0);
  ASSERT_EQ(WriteProfileString(file, "DNS", "port", "53"), 0);
  ASSERT_EQ(WriteProfileString(file, "SMTP", "DOMAIN", "other.test"), 0);
  std::string text;
  ASSERT_EQ(ReadWholeFile(file, &text), 0);
  EXPECT_EQ(text, "[SMTP]\r\nDomain=other.test\r\nsmtpport=2525\r\n\r\n[DNS]\r\nport=53\r\n");

  // An empty value deletes the key; deleting a section removes its lines only.
  ASSERT_EQ(WriteProfileString(file, "SMTP", "smtpport", ""), 0);
  ASSERT_EQ(DeleteProfileSection(file, "dns"), 0);
  ASSERT_EQ(ReadWholeFile(file, &text), 0);
  EXPECT_EQ(text, "[SMTP]\r\nDomain=other.test\r\n\r\n");
}

TEST(ProfileTest, NewKeyGoesBeforeTheBlankLinesThatSeparateSections) {
  CIniDocument doc("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
  doc.Set("a", "z", "3");
  EXPECT_EQ(doc.Serialize(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n");
  doc.Set("C", "k", "v");
  EXPECT_EQ(doc.SectionNames(), (std::vector<std::string>{"A", "B", "C"}));
  auto entries = doc.SectionEntries("a");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1], (std::pair<std::string, std::string>{"z", "3"}));
}

// Writers in several processes each add their own keys; none may be lost to another's
// read-modify-replace.
TEST(ProfileTest, ConcurrentWritersInTwoProcessesLoseNoKey) {
  CTempDir dir;
  std::string file = dir / "shared.ini";
  constexpr int kKeys = 60;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int bad = 0;
    for (int i = 0; i < kKeys; ++i)
      bad += WriteProfileString(file, "S", "child" + std::to_string(i), "1") != 0;
    ::_exit(bad == 0 ? 0 : 1);
  }
  std::thread other([&] {
    for (int i = 0; i < kKeys; ++i)
      EXPECT_EQ(WriteProfileString(file, "S", "thread" + std::to_string(i), "1"), 0);
  });
  for (int i = 0; i < kKeys; ++i)
    EXPECT_EQ(WriteProfileString(file, "S", "parent" + std::to_string(i), "1"), 0);
  other.join();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0);
  CIniDocument doc;
  ASSERT_EQ(LoadProfile(file, &doc), 0);
  EXPECT_EQ(doc.SectionEntries("S").size(), static_cast<size_t>(3 * kKeys));
  EXPECT_TRUE(FindFiles(dir.path(), "*.tmp~*").empty());  // no temporary left over
}

}  // namespace
}  // namespace platform
