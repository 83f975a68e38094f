#include "platform/system.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "testing/temp_dir.h"

namespace platform {
namespace {

TEST(SystemTest, StandardOffsetIgnoresDaylightSaving) {
  // Central Europe: UTC+1 in standard time, whatever the season.
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  EXPECT_EQ(-::timezone / 60, 60);
  EXPECT_EQ(StandardUtcOffsetMinutes(), 60);
  ::setenv("TZ", "EST5EDT", 1);
  ::tzset();
  EXPECT_EQ(StandardUtcOffsetMinutes(), -300);
  std::tm t = LocalTime(0);
  EXPECT_EQ(t.tm_year, 69);  // 1969-12-31 19:00 in New York
  EXPECT_EQ(t.tm_hour, 19);
  ::unsetenv("TZ");
  ::tzset();
}

TEST(SystemTest, MachineFacts) {
  testing_support::CTempDir dir;
  EXPECT_GT(FreeDiskSpace(dir.path()), 0);
  EXPECT_EQ(FreeDiskSpace(dir / "missing/dir"), -1);
  uint64_t a = TickCount();
  SleepMilliseconds(20);
  EXPECT_GE(TickCount() - a, 20u);
  EXPECT_TRUE(ProcessAlive(CurrentProcessId()));
  EXPECT_FALSE(ProcessAlive(0));
  EXPECT_EQ(PlatformString().rfind("Linux.", 0), 0u);
}

}  // namespace
}  // namespace platform
