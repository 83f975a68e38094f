#include "store/queue_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/text.h"
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

namespace {

// Candidates looked at on disk (one stat per spelling) before the search reads the directory once
// and goes on from memory: a free name is usually the first or second candidate, and a few dozen
// stats cost far less than reading a directory of many thousand entries.
constexpr long kProbesBeforeListing = 64;

// The spellings of one candidate that count as taken: the name as asked, and prefix and extension
// each in upper or lower case, as the store's writers spell them ("M0000001.MIM",
// "m0000001.mim", "m0000001.MIM"...).
class CCandidateSpellings {
 public:
  CCandidateSpellings(const std::string& prefix, const std::string& extension, int digits)
      : digits_(digits) {
    const std::string prefixes[2] = {platform::ToUpper(prefix), platform::ToLower(prefix)};
    const std::string extensions[2] = {platform::ToUpper(extension), platform::ToLower(extension)};
    Add(prefix, extension);
    for (const std::string& p : prefixes) {
      for (const std::string& e : extensions) Add(p, e);
    }
  }
  std::string Name(size_t spelling, long number) const {
    std::string text = std::to_string(number);
    text.insert(0, static_cast<size_t>(digits_) - std::min<size_t>(digits_, text.size()), '0');
    const auto& [p, e] = forms_[spelling];
    return p + text + (e.empty() ? "" : "." + e);
  }
  size_t Count() const { return forms_.size(); }
  // The number of `name` when it is one of the spellings, else -1.
  long NumberOf(const std::string& name) const {
    for (const auto& [p, e] : forms_) {
      size_t want = p.size() + static_cast<size_t>(digits_) + (e.empty() ? 0 : e.size() + 1);
      if (name.size() != want || name.compare(0, p.size(), p) != 0) continue;
      if (!e.empty() && name.compare(name.size() - e.size() - 1, std::string::npos, "." + e) != 0) {
        continue;
      }
      std::string digits = name.substr(p.size(), static_cast<size_t>(digits_));
      if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
      return std::strtol(digits.c_str(), nullptr, 10);
    }
    return -1;
  }
  bool TakenOnDisk(const std::string& dir, long number) const {
    for (size_t i = 0; i < forms_.size(); ++i) {
      if (platform::FileExists(platform::JoinPath(dir, Name(i, number)))) return true;
    }
    return false;
  }

 private:
  void Add(const std::string& p, const std::string& e) {
    for (const auto& f : forms_) {
      if (f.first == p && f.second == e) return;
    }
    forms_.emplace_back(p, e);
  }
  int digits_;
  std::vector<std::pair<std::string, std::string>> forms_;  // prefix, extension; the asked first
};

}  // namespace

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
  CCandidateSpellings spellings(prefix, extension, digits);
  auto found = [&](long number) {
    *out = platform::JoinPath(dir, spellings.Name(0, number));
    return 0;
  };
  long number = first;
  for (long probes = 0; number < last && probes < kProbesBeforeListing; ++number, ++probes) {
    if (!spellings.TakenOnDisk(dir, number)) return found(number);
  }
  if (number >= last) return kErrNameExhausted;
  // A run of taken names (a full queue, a sequence file behind the directory): the numbers in
  // use from one reading of the directory, then the first number after them that is still free
  // on disk (a name made after the reading is seen there).
  platform::CDirectoryListing listing;
  (void)listing.Read(dir);
  std::vector<long> used;
  for (const std::string& name : listing.Names()) {
    if (long n = spellings.NumberOf(name); n >= number && n < last) used.push_back(n);
  }
  std::sort(used.begin(), used.end());
  auto next = used.begin();
  for (; number < last; ++number) {
    while (next != used.end() && *next < number) ++next;
    if (next != used.end() && *next == number) continue;
    if (!spellings.TakenOnDisk(dir, number)) return found(number);
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
