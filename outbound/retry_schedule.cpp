#include "outbound/retry_schedule.h"

#include <cstdio>

#include "platform/system.h"
#include "store/envelope.h"

namespace outbound {

bool ParseEnvelopeTime(const std::string& text, std::time_t* out) {
  int day, month, year, hour, minute, second;
  char end;
  if (std::sscanf(text.c_str(), "%2d/%2d/%4d %2d:%2d:%2d%c", &day, &month, &year, &hour, &minute,
                  &second, &end) < 6) {
    return false;
  }
  if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1970 || hour > 23 || minute > 59 ||
      second > 60 || hour < 0 || minute < 0 || second < 0) {
    return false;
  }
  std::tm t{};
  t.tm_mday = day;
  t.tm_mon = month - 1;
  t.tm_year = year - 1900;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  std::time_t value = platform::MakeLocalTime(&t);
  if (value == static_cast<std::time_t>(-1)) return false;
  *out = value;
  return true;
}

RetryState ParseNextSend(const std::string& text, std::time_t now) {
  RetryState state{now, 0};
  std::time_t when;
  if (!ParseEnvelopeTime(text, &when)) return state;
  state.next = when;
  // The counter follows the time after one blank: "dd/mm/yyyy hh:mm:ss ccc".
  if (text.size() > 20) {
    int counter = 0;
    if (std::sscanf(text.c_str() + 20, "%3d", &counter) == 1 && counter >= 0) state.counter = counter;
  }
  return state;
}

std::string FormatNextSend(const RetryState& state) {
  char counter[8];
  std::snprintf(counter, sizeof counter, " %03d", state.counter % 1000);
  return store::EnvelopeDate(platform::LocalTime(state.next)) + counter;
}

int RetryDelaySeconds(int counter) {
  if (counter <= 1) return 30 * 60;
  if (counter == 2) return 60 * 60;
  if (counter <= 10) return 2 * 60 * 60;
  return 12 * 60 * 60;
}

RetryState NextAttempt(const RetryState& state, std::time_t now) {
  std::time_t next = state.next + RetryDelaySeconds(state.counter);
  if (next <= now) next = now + RetryDelaySeconds(state.counter);
  return {next, state.counter + 1};
}

}  // namespace outbound
