// The administrator's options for scripts: "-command" queues command lines for the running
// server and prints their results, "-flush" asks it to run the outbound queues now.
//
// -command LINE... (or "-command -": lines from standard input) appends the lines, after a
// comment line that marks them, to COMMAND.TXT in one append under the queue lock, posts signal
// 300 to the server published in QUORVALE.INI, waits until the batch that took the lines has run
// (at most QUORVALE_COMMAND_WAIT seconds, default 30) and prints each line's result as COMMAND.LOG
// records it: "OK\t<line>" or "ERR<n>\t<line>". A line that the queue cannot carry (a line
// break, a NUL byte, over 1024 characters) is refused before anything is queued. Lines after
// "end" would never run and are not queued.
//
// Exit codes: 0 all lines ran without error (or no server runs: the lines wait for its start;
// or Logging is off and no results were recorded); 1 a line failed; 2 nothing was queued (bad
// input, no home, the lock or the append failed) or the batch did not run in time.
#pragma once

#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace core {

int RunCommandClient(const std::vector<std::string>& args, std::istream& input);
int RunFlushClient();
// "-queue": prints `list(home)` for the home directory. 0, or 2 when the home is not known.
int RunQueueListing(const std::function<std::string(const std::string& home)>& list);

// One entry of COMMAND.LOG: "%d:\t%s" or "%d:ERR%d\t%s". False for other lines.
struct CommandLogEntry {
  int number = 0;
  int result = 0;
  std::string text;
};
bool ParseCommandLogLine(const std::string& line, CommandLogEntry* entry);

// The results of `lines` (as appended, `first` being the batch position offset: line i was
// appended at position first + i), found in `entries` as one run of consecutive line numbers.
// Comment lines are skipped. False when they are not all there.
bool MatchCommandResults(const std::vector<std::string>& lines,
                         const std::vector<CommandLogEntry>& entries, std::vector<int>* results);

}  // namespace core
