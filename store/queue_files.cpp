#include "store/queue_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <thread>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "store/line_file.h"

namespace store {

long NextSequenceNumber(const std::string& directory, unsigned lockWaitMs) {
  std::string dir = platform::ResolvePath(directory);
  platform::CExclusiveFile lock;
  uint64_t start = platform::TickCount();
  unsigned pause = 0;
  std::string tri = platform::JoinPath(dir, "useqf.tri");
  while (!lock.TryCreate(tri)) {
    if (!platform::DirectoryExists(dir)) return -1;         // nothing to wait for
    if (platform::CExclusiveFile::RemoveAbandoned(tri)) continue;  // its maker died holding it
    if (platform::TickCount() - start >= lockWaitMs) return -1;
    if (pause == 0) {
      std::this_thread::yield();
    } else {
      platform::SleepMilliseconds(pause);
    }
    pause = pause == 0 ? 1 : 0;
  }
  platform::CFile file;
  std::string path = platform::ResolvePath(platform::JoinPath(dir, "useqf"));
  if (file.Open(path, platform::FileMode::kReadWrite) != 0) return -1;
  char buf[128];
  long n = file.Read(buf, sizeof buf - 1);
  std::string first = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  first = first.substr(0, first.find_first_of("\r\n"));
  long value = platform::ParseDecimal(first) + 1;
  if (value > kSequenceMax || value < 0) value = 0;
  std::string text = std::to_string(value);
  if (file.Truncate(0) != 0 || file.WriteAt(0, text) != 0) return -1;
  return value;  // the lock file goes with `lock`
}

int MakeUniqueFileName(std::string* out, const std::string& directory, const std::string& prefix,
                       long first, long tries, const std::string& extension) {
  std::string dir = platform::NormaliseSeparators(directory);
  if (dir.size() >= 2 && dir.back() == '/') dir.pop_back();
  dir = platform::ResolvePath(dir);
  if (!platform::DirectoryExists(dir)) return kErrNoDirectory;
  int digits = std::clamp(8 - static_cast<int>(prefix.size()), 1, 8);
  long limit = 1;
  for (int i = 0; i < digits; ++i) limit *= 10;
  long last = tries < 0 ? limit : std::min(first + tries, limit);
  if (first > last) return kErrFirstTooLarge;
  // A name counts as taken in any case in which the store's writers spell it: prefix and
  // extension each in upper or lower case ("M0000001.MIM", "m0000001.mim", "m0000001.MIM"...).
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  auto upper = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return t;
  };
  const std::string prefixes[2] = {upper(prefix), lower(prefix)};
  const std::string extensions[2] = {upper(extension), lower(extension)};
  for (long number = first; number < last; ++number) {
    std::string digitsText = std::to_string(number);
    digitsText.insert(0, static_cast<size_t>(digits) - std::min<size_t>(digits, digitsText.size()), '0');
    auto nameWith = [&](const std::string& p, const std::string& e) {
      return p + digitsText + (e.empty() ? "" : "." + e);
    };
    std::string name = nameWith(prefix, extension);
    bool taken = platform::FileExists(platform::JoinPath(dir, name));
    for (const std::string& p : prefixes) {
      for (const std::string& e : extensions) {
        if (!taken) taken = platform::FileExists(platform::JoinPath(dir, nameWith(p, e)));
      }
    }
    if (taken) continue;
    *out = platform::JoinPath(dir, name);
    return 0;
  }
  return kErrNameExhausted;
}

std::string StatusLine(uint32_t status) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s%020lu", kStatusPrefix, static_cast<unsigned long>(status));
  return buf;
}

namespace {

// The first line (at most 31 characters) when it is a status line.
bool FirstStatusLine(const std::string& path, std::string* line) {
  CLineFile in;
  if (in.Open(platform::ResolvePath(path), platform::FileMode::kRead) != 0) return false;
  if (in.ReadLine(line, 31) != 0) return false;
  return line->compare(0, 10, kStatusPrefix) == 0;
}

}  // namespace

uint32_t ReadStatus(const std::string& path) {
  std::string line;
  if (!FirstStatusLine(path, &line)) return 0;
  return static_cast<uint32_t>(platform::ParseDecimal(line.substr(10)));
}

int WriteStatus(const std::string& path, uint32_t status) {
  std::string line;
  if (!FirstStatusLine(path, &line)) return -1;
  platform::CFile file;
  if (file.Open(platform::ResolvePath(path), platform::FileMode::kUpdate) != 0) return -1;
  return file.WriteAt(0, StatusLine(status)) == 0 ? 0 : -1;
}

int AddStatusFlags(const std::string& path, uint32_t flags) {
  return WriteStatus(path, ReadStatus(path) | flags);
}

}  // namespace store
