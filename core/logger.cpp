#include "core/logger.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"

namespace core {

std::string LogTimestamp(time_t t) {
  std::tm tm = platform::LocalTime(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d/%m/%y %H:%M:%S", &tm);
  return buf;
}

std::string LogSafe(std::string_view text, size_t maxLen) {
  std::string out;
  for (unsigned char c : text) {
    if (out.size() >= maxLen) break;
    if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (out.size() > maxLen) out.resize(maxLen);
  return out;
}

int CLogger::Write(std::string_view text) { return Write(threshold_, text); }

int CLogger::Write(int level, std::string_view text) {
  if (level < threshold_ || path_.empty()) return 0;
  if (!lock_.TryLockFor(std::chrono::milliseconds(kMutexWaitMs))) return 0;
  std::string line;
  if (timestamp_) {
    line = LogTimestamp(platform::Now());
    line += ": ";
  }
  line.append(text);
  line += "\r\n";
  // A log that exists under the path as written is the one resolution would find (the exact
  // spelling wins): it is appended to without looking its path up. Else the path is resolved,
  // and the log made when missing.
  int rc = platform::AppendToExistingFile(platform::NormaliseSeparators(path_), line);
  if (rc == 1) rc = platform::AppendToFile(platform::ResolvePath(path_), line);
  int written = rc == 0 ? 1 : 0;
  lock_.Unlock();
  return written;
}

int CLogger::WriteV(int level, const char* format, va_list args) {
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return 0;
  if (static_cast<size_t>(n) < sizeof small) return Write(level, std::string_view(small, n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), format, args);
  big.resize(static_cast<size_t>(n));
  return Write(level, big);
}

int CLogger::WriteF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = WriteV(threshold_, format, args);
  va_end(args);
  return r;
}

int CLogger::WriteLevelF(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = WriteV(level, format, args);
  va_end(args);
  return r;
}

int64_t CLogger::Size() {
  lock_.Lock();
  // As in Write: the log as written when it exists, else as resolution finds it.
  int64_t size = platform::FileSize(platform::NormaliseSeparators(path_));
  if (size < 0) size = platform::FileSize(platform::ResolvePath(path_));
  lock_.Unlock();
  return size < 0 ? 0 : size;
}

int CLogger::Clear() {
  lock_.Lock();
  int rc = platform::TruncateFile(platform::ResolvePath(path_));
  lock_.Unlock();
  return rc;
}

}  // namespace core
