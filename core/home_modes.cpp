#include "core/home_modes.h"

#include <functional>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"

namespace core {
namespace {

constexpr unsigned kOthersBits = 07;
constexpr unsigned kTypeMask = 0170000;
constexpr unsigned kRegular = 0100000;
constexpr unsigned kDirectory = 0040000;

// Visits every entry of the areas that hold mail, accounts, settings and logs.
void ForEachInScope(const std::string& home,
                    const std::function<void(const std::string&, unsigned)>& visit) {
  auto regularOrDir = [&](const std::string& path, unsigned mode) {
    unsigned type = mode & kTypeMask;
    if (type == kRegular || type == kDirectory) visit(path, mode);
  };
  platform::WalkEntries(home, false, regularOrDir);
  for (const std::string& name : platform::FindFiles(home, "*", platform::EntryKind::kFiles)) {
    if (platform::EndsWithNoCase(name, ".BAT")) continue;
    platform::WalkEntries(platform::JoinPath(home, name), false, regularOrDir);
  }
  for (const char* area : {"MAILIN", "INQUEUE", "OUTQUEUE", "COMMAND"}) {
    std::string path = platform::ResolvePath(platform::JoinPath(home, area));
    if (platform::DirectoryExists(path)) platform::WalkEntries(path, true, regularOrDir);
  }
}

}  // namespace

OpenFiles FindFilesOpenToOthers(const std::string& home, size_t limit) {
  OpenFiles found;
  ForEachInScope(home, [&](const std::string& path, unsigned mode) {
    if ((mode & kOthersBits) == 0) return;
    ++found.count;
    if (found.listed.size() < limit) found.listed.push_back(path);
  });
  return found;
}

std::string OpenFilesWarning(const std::string& home, const OpenFiles& found) {
  std::string text = "Mail, account or log files in " + home +
                     " can be read by every user of "
                     "this machine (" +
                     std::to_string(found.count) + "): ";
  for (size_t i = 0; i < found.listed.size(); ++i) {
    if (i > 0) text += ", ";
    text += found.listed[i];
  }
  if (found.count > found.listed.size()) {
    text += " and " + std::to_string(found.count - found.listed.size()) + " more";
  }
  text += ". Run \"quorvale -tighten\" or the console command \"tighten\" to make them private.";
  return text;
}

TightenResult TightenHome(const std::string& home) {
  TightenResult result;
  ForEachInScope(home, [&](const std::string& path, unsigned mode) {
    if ((mode & kOthersBits) == 0) return;
    if (platform::ChangeMode(path, mode & 07770) == 0) {
      ++result.changed;
    } else {
      ++result.failed;
    }
  });
  return result;
}

std::string TightenReport(const std::string& home, const TightenResult& result) {
  std::string text =
      "Made " + std::to_string(result.changed) + " files and directories in " + home + " private";
  if (result.failed > 0) {
    text += "; " + std::to_string(result.failed) + " could not be changed (owned by another user?)";
  }
  return text + ".";
}

}  // namespace core
