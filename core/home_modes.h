// Who may read the home directory's mail and account files.
//
// The server creates everything private (platform/fs.h); files made by an older version, by
// hand or by other tools may still be open to every user of the machine. Start-up looks for
// them and warns once; "quorvale -tighten" and the console command "tighten" close them.
//
// The areas looked at: the home directory itself, the files directly in it (settings, account
// files, logs; not the ".BAT" scripts, which are meant to be executable by anyone), and every
// entry below MAILIN, INQUEUE, OUTQUEUE and COMMAND. An entry counts as open when its mode
// grants others (not the owner, not the group) any access. Group access is left alone: a named
// group may be meant to read the files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace core {

constexpr size_t kMaxListedOpenFiles = 10;

struct OpenFiles {
  size_t count = 0;                 // every open entry found
  std::vector<std::string> listed;  // the first ones, at most the limit given
};

OpenFiles FindFilesOpenToOthers(const std::string& home, size_t limit = kMaxListedOpenFiles);

// The start-up warning for `found` (count > 0).
std::string OpenFilesWarning(const std::string& home, const OpenFiles& found);

struct TightenResult {
  int changed = 0;
  int failed = 0;
};

// Takes others' access away from every open entry of the areas above.
TightenResult TightenHome(const std::string& home);

// The report of a tighten run, one line.
std::string TightenReport(const std::string& home, const TightenResult& result);

}  // namespace core
