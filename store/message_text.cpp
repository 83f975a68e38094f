#include "store/message_text.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/path.h"
#include "platform/text.h"
#include "platform/system.h"
#include "platform/file.h"
#include "store/line_file.h"

namespace store {
namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool StartsNoCase(std::string_view text, const char* prefix) {
  return platform::StartsWithNoCase(text, prefix);
}

// Pieces of long lines and the blocks handed to the writer.
constexpr size_t kCopyBlock = 65536;

}  // namespace

std::string FormatDateHeader(const std::tm& t, long westSeconds) {
  long offset = std::labs(westSeconds) / 60;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[(t.tm_wday % 7 + 7) % 7], t.tm_mday, kMonths[(t.tm_mon % 12 + 12) % 12],
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, westSeconds <= 0 ? '+' : '-',
                offset / 60, offset % 60);
  return buf;
}

std::string FormatDateHeader() {
  return FormatDateHeader(platform::LocalTime(platform::Now()),
                          -platform::StandardUtcOffsetMinutes() * 60);
}

std::string MakeBoundary(const std::tm& t, int milliseconds, const char* prefix) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s-%d%d%d-%d%d%d%d", prefix ? prefix : "Kestrum-Works-",
                t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                milliseconds);
  return buf;
}

std::string MakeBoundary(const char* prefix) {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  return MakeBoundary(platform::LocalTime(platform::Now()), static_cast<int>(ms.count()), prefix);
}

int CopyMessageWithOverrides(const std::string& source,
                             const std::function<int(std::string_view)>& write,
                             const MessageOverrides* o, const std::string& recipient,
                             const std::string& sender) {
  CLineFile in;
  if (int rc = in.Open(platform::ResolvePath(source), platform::FileMode::kRead); rc != 0) return rc;
  std::string pending;
  auto out = [&](std::string_view text, bool lineEnd) {
    pending += text;
    if (lineEnd) pending += "\r\n";
    if (pending.size() < kCopyBlock) return 0;
    int rc = write(pending);
    pending.clear();
    return rc;
  };
  auto outLine = [&](const std::string& line) { return out(line, true); };
  std::string piece;
  bool lineEnd = true;
  int rc = 0;
  bool header = o != nullptr;
  bool droppingTo = false;  // continuation lines of a To: header written as "X-To:"
  bool dropLine = false;    // the rest of the current line goes too
  auto addHeaders = [&] {
    int r = 0;
    if (o->addFrom) r = outLine("From: " + sender);
    if (r == 0 && o->addApparentlyTo && !recipient.empty())
      r = outLine("Apparently-To: " + recipient);
    if (r == 0 && o->messageId) r = outLine("Message-Id: " + *o->messageId);
    if (r == 0 && o->date) r = outLine("Date: " + *o->date);
    return r;
  };
  // Lines of any length are copied whole, piece by piece; the header tests look at the first
  // piece of a line (a header name is never that long).
  while (rc == 0) {
    bool lineStart = lineEnd;
    if (int r = in.ReadLinePiece(&piece, kCopyBlock, &lineEnd); r != 0) {
      if (r != kErrEndOfFile) rc = r;
      break;
    }
    if (!lineStart || !header) {
      if (!dropLine) rc = out(piece, lineEnd);
      continue;
    }
    dropLine = false;
    size_t first = piece.find_first_not_of(" \t");
    if (first == std::string::npos && lineEnd) {  // the end of the header
      rc = addHeaders();
      if (rc == 0) rc = out(piece, true);
      header = false;
      continue;
    }
    std::string_view t =
        first == std::string::npos ? std::string_view() : std::string_view(piece).substr(first);
    size_t colon = t.find(':'), blank = t.find_first_of(" \t");
    bool continuation = colon == std::string::npos || (blank != std::string::npos && blank < colon);
    if (continuation) {
      dropLine = droppingTo;
      if (!dropLine) rc = out(piece, lineEnd);
      continue;
    }
    droppingTo = false;
    bool replace = (o->messageId && StartsNoCase(t, "message-id:")) ||
                   (o->date && StartsNoCase(t, "date:")) ||
                   (o->addFrom && StartsNoCase(t, "from:")) ||
                   (o->addApparentlyTo && StartsNoCase(t, "to:"));
    if (replace) {
      rc = out("X-", false);
      if (rc == 0) rc = out(piece, lineEnd);
      droppingTo = StartsNoCase(t, "to:");
    } else {
      rc = out(piece, lineEnd);
    }
  }
  // A message that is all header still gets the added lines, and the empty line after them.
  if (rc == 0 && header) {
    rc = addHeaders();
    if (rc == 0) rc = outLine("");
  }
  if (rc == 0 && !pending.empty()) rc = write(pending);
  return rc;
}

int CopyMessageWithOverrides(const std::string& source, const std::string& target,
                             const MessageOverrides* o, const std::string& recipient,
                             const std::string& sender) {
  platform::CFile file;
  if (file.Open(target, platform::FileMode::kWrite) != 0) return kErrOpen;
  int rc = CopyMessageWithOverrides(
      source, [&](std::string_view data) { return file.Write(data) == 0 ? 0 : kErrWrite; }, o,
      recipient, sender);
  if (rc == 0 && file.Sync() != 0) rc = kErrWrite;
  return rc;
}

}  // namespace store
