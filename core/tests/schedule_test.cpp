#include "core/schedule.h"

#include <gtest/gtest.h>

#include "core/settings_values.h"

namespace core {
namespace {

// 2026-12-05 was a Saturday, 2026-12-06 a Sunday, 2026-12-07 a Monday.
std::tm At(int mday, int hour, int minute) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_wday = (mday - 6 + 7) % 7;  // the 6th is a Sunday
  return t;
}

ScheduleSettings Times(std::vector<int> times) {
  ScheduleSettings s;
  s.useFreq = 0;
  s.times = std::move(times);
  return s;
}

TEST(ScheduleTest, SaturdayIsSkippedAndTheNextTimeIsSkippedToo) {
  ScheduleSettings s = Times({480, 1050});
  CDeliverySchedule sched;
  sched.Init(s.times, At(5, 7, 0));
  EXPECT_EQ(sched.Next(), 480);
  EXPECT_FALSE(sched.Step(s, At(5, 7, 59)));
  EXPECT_FALSE(sched.Step(s, At(5, 8, 0)));  // Saturday: no run
  EXPECT_FALSE(sched.Step(s, At(5, 8, 1)));
  EXPECT_EQ(sched.Next(), 1050);
  EXPECT_FALSE(sched.Step(s, At(5, 17, 30)));  // skipped again
  s.saterday = 1;
  EXPECT_TRUE(sched.Step(s, At(5, 17, 31)));
}

TEST(ScheduleTest, TwoTimesRunEachOnceAndTheStartMinuteIsNotRunThatDay) {
  ScheduleSettings s = Times({480, 1050});
  CDeliverySchedule sched;
  sched.Init(s.times, At(7, 8, 0));  // Monday, started at 08:00
  EXPECT_EQ(sched.Next(), 1050);     // 08:00 is the last run already
  EXPECT_FALSE(sched.Step(s, At(7, 8, 0)));
  EXPECT_FALSE(sched.Step(s, At(7, 17, 29)));
  EXPECT_TRUE(sched.Step(s, At(7, 17, 30)));
  EXPECT_FALSE(sched.Step(s, At(7, 17, 30)));
  EXPECT_EQ(sched.Next(), 480);
  EXPECT_FALSE(sched.Step(s, At(7, 23, 59)));
  EXPECT_TRUE(sched.Step(s, At(8, 8, 0)));  // Tuesday morning
  EXPECT_EQ(sched.Next(), 1050);
}

TEST(ScheduleTest, ASingleTimeRunsOnceADay) {
  ScheduleSettings s = Times({600});
  CDeliverySchedule sched;
  sched.Init(s.times, At(7, 9, 0));
  int runs = 0;
  for (int day = 7; day <= 9; ++day) {
    for (int minute = 0; minute < 1440; minute += 1) {
      runs += sched.Step(s, At(day, minute / 60, minute % 60));
    }
  }
  EXPECT_EQ(runs, 3);
}

TEST(ScheduleTest, NoTimesMeansNoScheduledRun) {
  ScheduleSettings s = Times({});
  CDeliverySchedule sched;
  sched.Init(s.times, At(7, 9, 0));
  EXPECT_FALSE(sched.HasNext());
  EXPECT_FALSE(sched.Step(s, At(7, 9, 0)));
}

}  // namespace
}  // namespace core
