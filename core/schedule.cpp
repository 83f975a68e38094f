#include "core/schedule.h"

#include "core/settings_values.h"

namespace core {
namespace {

int Minutes(const std::tm& t) { return t.tm_hour * 60 + t.tm_min; }

}  // namespace

void CDeliverySchedule::Init(const std::vector<int>& times, const std::tm& now) {
  last_ = Minutes(now);
  lastDay_ = now.tm_mday;
  ComputeNext(times, Minutes(now));
}

void CDeliverySchedule::Recompute(const std::vector<int>& times, const std::tm& now) {
  ComputeNext(times, Minutes(now));
}

void CDeliverySchedule::ComputeNext(const std::vector<int>& times, int now) {
  constexpr int kNeverChosen = 6100;
  next_ = kAbsent;
  int best = 0;
  for (int t : times) {
    int distance = t - now;
    if (distance < 0) distance += 1440;
    if (times.size() >= 2 && t == last_) distance = kNeverChosen;
    if (next_ == kAbsent || distance < best) {
      next_ = t;
      best = distance;
    }
  }
}

bool CDeliverySchedule::Step(const ScheduleSettings& schedule, const std::tm& now) {
  int minutes = Minutes(now);
  if (!HasNext() || minutes < next_) return false;
  if (last_ >= next_ && now.tm_mday == lastDay_) return false;  // already done today
  bool sunday = now.tm_wday == 0, saturday = now.tm_wday == 6;
  if ((!schedule.sunday && sunday) || (!schedule.saterday && saturday)) {
    ComputeNext(schedule.times, minutes);
    return false;
  }
  last_ = next_;
  lastDay_ = now.tm_mday;
  ComputeNext(schedule.times, minutes);
  return true;
}

}  // namespace core
