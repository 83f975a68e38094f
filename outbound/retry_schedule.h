// The retry state of an outbound queue item: the envelope key NxtSend holds the time of the next
// delivery attempt and a three-digit attempt counter, "dd/mm/yyyy hh:mm:ss ccc" in local time,
// beside IniDate "dd/mm/yyyy hh:mm:ss", the item's creation time. The delay before the next
// attempt grows with the counter; an item still undelivered after its fifteenth attempt is
// discarded. Thread-safe; no state.
#pragma once

#include <ctime>
#include <string>

namespace outbound {

constexpr int kMaxAttempts = 15;

struct RetryState {
  std::time_t next = 0;  // due at or after this time
  int counter = 0;       // attempts made so far
};

// Parses "dd/mm/yyyy hh:mm:ss" (local time). False for anything else.
bool ParseEnvelopeTime(const std::string& text, std::time_t* out);
// Parses NxtSend. An empty or unreadable value is due at `now` with counter 0 (a new item).
RetryState ParseNextSend(const std::string& text, std::time_t now);
// "dd/mm/yyyy hh:mm:ss ccc".
std::string FormatNextSend(const RetryState& state);
// The delay added to NxtSend after an attempt made with `counter`: 30 minutes for 0 and 1,
// one hour for 2, two hours for 3 to 10, twelve hours after that.
int RetryDelaySeconds(int counter);
// The state after a failed attempt at `now` that schedules a retry: the delay added to the
// previous time, so that runs a little late keep the schedule; when that is already past (the
// server was down for a while) the delay counts from now instead, so that a backlog is not
// retried at every run and discarded within the hour. The counter advances by one.
RetryState NextAttempt(const RetryState& state, std::time_t now);

}  // namespace outbound
