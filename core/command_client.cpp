#include "core/command_client.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "core/command_line.h"
#include "core/command_queue.h"
#include "core/logger.h"
#include "core/message_sink.h"
#include "core/peer_signals.h"
#include "core/settings.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/thread_signal.h"

namespace core {
namespace {

constexpr unsigned kPollMs = 50;
constexpr long kDefaultWaitSeconds = 30;

// The home directory and its settings, for a process that only talks to the server.
struct ClientHome {
  CMessageSink sink{"", nullptr};
  CSettings settings{sink, nullptr};
  long serverId = 0;

  bool Locate() {
    if (settings.LocateHome() != 0) {
      std::fprintf(stderr, "The home directory is not known (TORVIK.INI, key HomeDir).\n");
      return false;
    }
    serverId = platform::GetProfileLong(settings.Paths().quorvaleIni, "data", "srvthread", 0);
    return true;
  }
  std::string CommandFile(const char* name) const {
    return platform::ResolvePath(platform::JoinPath(settings.Paths().command, name));
  }
  int Post(long code) const {
    if (serverId <= 0) return -1;
    return platform::PostThreadSignal(settings.Paths().home, serverId, {kSignalName, 1, code});
  }
};

// Checks the lines and cuts them at "end". An empty string when they may be queued.
std::string CheckLines(std::vector<std::string>* lines) {
  for (size_t i = 0; i < lines->size(); ++i) {
    const std::string& line = (*lines)[i];
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      return "A command line holds a line break or a NUL byte: " + LogSafe(line, 80);
    }
    if (line.size() > kCommandLineMax) {
      return "A command line is longer than " + std::to_string(kCommandLineMax) +
             " characters: " + LogSafe(line, 80) + "...";
    }
    if (ParseQueueLine(line).kind == CommandLineKind::kEnd) {
      if (i + 1 < lines->size()) {
        std::fprintf(stderr, "Lines after \"end\" would not run and are not queued.\n");
      }
      lines->resize(i);
      break;
    }
  }
  return {};
}

std::vector<CommandLogEntry> ReadLogFrom(const std::string& path, int64_t offset) {
  std::string text;
  std::vector<CommandLogEntry> entries;
  if (platform::ReadWholeFile(path, &text) != 0) return entries;
  if (offset < 0 || static_cast<size_t>(offset) > text.size()) offset = 0;  // erased meanwhile
  size_t pos = static_cast<size_t>(offset);
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a line still being written
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    CommandLogEntry e;
    if (ParseCommandLogLine(line, &e)) entries.push_back(std::move(e));
    pos = end + 1;
  }
  return entries;
}

// True when the batch in COMMAND.CMD holds `marker` after an "end" line: the lines were dropped.
bool DroppedAfterEnd(const ClientHome& home, const std::string& marker) {
  std::string batch;
  if (platform::ReadWholeFile(home.CommandFile(kCommandBatchFile), &batch) != 0) return false;
  size_t at = batch.find(marker);
  if (at == std::string::npos) return false;
  size_t pos = 0;
  while (pos < at) {
    size_t end = batch.find('\n', pos);
    if (end == std::string::npos || end > at) break;
    if (ParseQueueLine(std::string_view(batch).substr(pos, end - pos)).kind ==
        CommandLineKind::kEnd) {
      return true;
    }
    pos = end + 1;
  }
  return false;
}

long WaitSeconds() {
  const char* text = std::getenv("QUORVALE_COMMAND_WAIT");
  long s = text != nullptr ? std::atol(text) : 0;
  return s > 0 ? s : kDefaultWaitSeconds;
}

// True once the batch that took the lines marked by `marker` has run.
bool BatchDone(const ClientHome& home, const std::string& marker) {
  std::string queued;
  std::string path = home.CommandFile(kCommandQueueFile);
  if (platform::FileExists(path) && platform::ReadWholeFile(path, &queued) == 0 &&
      queued.find(marker) != std::string::npos) {
    return false;  // not taken yet
  }
  // The server holds the run lock from before it takes the batch until the batch has run.
  platform::CLockFile run;
  return run.TryAcquire(home.CommandFile(kCommandRunFile)) == platform::LockAttempt::kHeld;
}

}  // namespace

bool ParseCommandLogLine(const std::string& line, CommandLogEntry* entry) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string::npos || colon > 10) return false;
  for (size_t i = 0; i < colon; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  entry->number = std::atoi(line.substr(0, colon).c_str());
  size_t tab = line.find('\t', colon);
  if (tab == std::string::npos) return false;
  std::string mid = line.substr(colon + 1, tab - colon - 1);
  if (mid.empty()) {
    entry->result = 0;
  } else if (mid.size() > 4 && mid.compare(0, 4, "ERR-") == 0 &&
             mid.find_first_not_of("0123456789", 4) == std::string::npos) {
    entry->result = std::atoi(mid.c_str() + 3);
  } else {
    return false;
  }
  entry->text = line.substr(tab + 1);
  return true;
}

bool MatchCommandResults(const std::vector<std::string>& lines,
                         const std::vector<CommandLogEntry>& entries, std::vector<int>* results) {
  // The lines that leave a log entry, with their positions in the appended block.
  std::vector<std::pair<int, std::string>> expected;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (ParseQueueLine(lines[i]).kind == CommandLineKind::kComment) continue;
    expected.emplace_back(static_cast<int>(i), LogSafe(lines[i], kCommandLineMax));
  }
  results->assign(expected.size(), 0);
  if (expected.empty()) return true;
  for (size_t start = 0; start < entries.size(); ++start) {
    if (entries[start].text != expected[0].second) continue;
    int base = entries[start].number - expected[0].first;
    size_t at = start;
    size_t found = 0;
    for (; found < expected.size() && at < entries.size(); ++at) {
      const CommandLogEntry& e = entries[at];
      if (e.number == base + expected[found].first && e.text == expected[found].second) {
        (*results)[found++] = e.result;
      }
    }
    if (found == expected.size()) return true;
  }
  return false;
}

int RunCommandClient(const std::vector<std::string>& args, std::istream& input) {
  std::vector<std::string> lines = args;
  if (args.size() == 1 && args[0] == "-") {
    lines.clear();
    std::string line;
    while (std::getline(input, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
  }
  if (lines.empty()) {
    std::fprintf(stderr, "usage: quorvale -command 'LINE' ['LINE'...] | quorvale -command -\n");
    return 2;
  }
  if (std::string refused = CheckLines(&lines); !refused.empty()) {
    std::fprintf(stderr, "%s\nNothing was queued.\n", refused.c_str());
    return 2;
  }
  ClientHome home;
  if (!home.Locate()) return 2;
  if (platform::MakeDirectory(platform::ResolvePath(home.settings.Paths().command)) != 0) {
    std::fprintf(stderr, "Cannot create the command directory %s\n",
                 home.settings.Paths().command.c_str());
    return 2;
  }
  std::string marker = "# quorvale -command " + std::to_string(platform::CurrentProcessId()) + "." +
                       std::to_string(platform::TickCount());
  std::vector<std::string> block{marker};
  block.insert(block.end(), lines.begin(), lines.end());
  std::string logPath = home.CommandFile(kCommandLogFile);
  int64_t offset = platform::FileSize(logPath);
  if (AppendCommandLines(home.settings.Paths().command, block) != 0) {
    std::fprintf(stderr, "Cannot append to %s: nothing was queued.\n",
                 home.CommandFile(kCommandQueueFile).c_str());
    return 2;
  }
  if (home.Post(kSignalCommandQueued) != 0) {
    std::printf("No server is running: the commands will run when the server starts.\n");
    return 0;
  }
  uint64_t deadline = platform::TickCount() + static_cast<uint64_t>(WaitSeconds()) * 1000;
  while (!BatchDone(home, marker)) {
    if (!platform::ProcessAlive(home.serverId)) {
      if (BatchDone(home, marker)) break;
      std::fprintf(stderr, "The server ended before it ran the commands; they stay queued.\n");
      return 2;
    }
    if (platform::TickCount() >= deadline) {
      std::fprintf(stderr, "The server did not run the commands within %ld seconds.\n",
                   WaitSeconds());
      return 2;
    }
    platform::SleepMilliseconds(kPollMs);
  }
  std::vector<int> results;
  if (!MatchCommandResults(block, ReadLogFrom(logPath, offset), &results)) {
    if (DroppedAfterEnd(home, marker)) {
      std::fprintf(stderr,
                   "The commands were not run: another writer's \"end\" line came before them "
                   "in the batch.\n");
      return 2;
    }
    std::printf("The commands ran; their results were not logged (Logging is off).\n");
    return 0;
  }
  int failed = 0;
  size_t r = 0;
  for (const std::string& line : lines) {
    if (ParseQueueLine(line).kind == CommandLineKind::kComment) continue;
    int result = results[r++];
    if (result < 0) {
      ++failed;
      std::printf("ERR%d\t%s\n", result, line.c_str());
    } else {
      std::printf("OK\t%s\n", line.c_str());
    }
  }
  return failed > 0 ? 1 : 0;
}

int RunQueueListing(const std::function<std::string(const std::string& home)>& list) {
  ClientHome home;
  if (!home.Locate()) return 2;
  std::fputs(list(home.settings.Paths().home).c_str(), stdout);
  return 0;
}

int RunFlushClient() {
  ClientHome home;
  if (!home.Locate()) return 2;
  if (home.Post(kSignalSendNowForce) != 0) {
    std::fprintf(stderr, "No server is running.\n");
    return 1;
  }
  std::printf("The server was asked to run the outbound queues now.\n");
  return 0;
}

}  // namespace core
