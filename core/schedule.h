// CDeliverySchedule: when the outbound queues run on the `schedule` times of day.
//
// Times are minutes since midnight. The next scheduled time is the time with the smallest
// distance from now (a time already passed today counts from tomorrow); with two or more times,
// the time of the last run is never chosen again. Saturdays and Sundays are skipped unless
// `saterday`/`sunday` are on. A single time runs once a day.
//
// Owned by the main thread.
#pragma once

#include <ctime>
#include <vector>

namespace core {

struct ScheduleSettings;

class CDeliverySchedule {
 public:
  static constexpr int kAbsent = 100 * 60;  // "hour 100": no scheduled run

  // Start-up: last run = now, then the next time is computed.
  void Init(const std::vector<int>& times, const std::tm& now);
  // After the schedule group is reloaded: the next time from the new list.
  void Recompute(const std::vector<int>& times, const std::tm& now);
  // One schedule step; true when the outbound queues are to run now.
  bool Step(const ScheduleSettings& schedule, const std::tm& now);

  bool HasNext() const { return next_ != kAbsent; }
  int Next() const { return next_; }

 private:
  void ComputeNext(const std::vector<int>& times, int nowMinutes);

  int next_ = kAbsent;
  int last_ = -1;
  int lastDay_ = 0;
};

}  // namespace core
