// The listing of the queues for administrators ("quorvale -queue"): every complete item of the
// inbound queue and of each outbound queue with its size, arrival time, sender, recipients,
// attempt counter and next attempt, and a total line. Items being written are not listed.
//
// Reads the files only; thread-safe. No result codes: a queue that cannot be read lists nothing.
#pragma once

#include <string>
#include <vector>

namespace store {

struct QueuedItem {
  std::string queue;  // "INQUEUE" or "OUTQUEUE/<dir>"
  std::string name;   // the message file's name
  long long size = 0;
  std::string arrived;  // IniDate, "dd/mm/yyyy hh:mm:ss"
  std::string from;
  std::vector<std::string> to;
  int attempts = 0;
  std::string nextAttempt;  // empty: not tried yet
};

std::vector<QueuedItem> ListQueuedItems(const std::string& home);
// The text printed for `items`, ending with "-- <n> items, <k> Kbytes in <q> queues.".
std::string FormatQueueListing(const std::vector<QueuedItem>& items);

}  // namespace store
