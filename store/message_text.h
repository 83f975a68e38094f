// Texts the server writes into and reads out of messages: the date header, MIME boundaries,
// address splitting, and the copy of a queued message with overridden headers.
// Thread-safe; no state.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "toolkit/address.h"

namespace store {

using toolkit::kMaxAddressPart;
using toolkit::MailboxAddress;
using toolkit::SplitAddress;
using toolkit::SplitMailbox;
using toolkit::SplitResult;

// "Sun, 5 Dec 2026 09:05:07 +0100": `local` broken down, `westSeconds` the standard-time
// offset west of UTC (0 or less is written "+").
std::string FormatDateHeader(const std::tm& local, long westSeconds);
// The same for the current local time and zone.
std::string FormatDateHeader();

// "<prefix>-<y><m><d>-<H><M><S><ms>", numbers unpadded; the default prefix "Kestrum-Works-"
// gives two hyphens in a row.
std::string MakeBoundary(const char* prefix = nullptr);
std::string MakeBoundary(const std::tm& local, int milliseconds, const char* prefix);


// Headers to replace when a message is copied into a mailbox or queue; each is set only when the
// message lacks that header.
struct MessageOverrides {
  std::optional<std::string> messageId;  // new "Message-Id:" value
  std::optional<std::string> date;       // new "Date:" value
  bool addFrom = false;                  // add "From: <sender>"
  bool addApparentlyTo = false;          // add "Apparently-To: <recipient>"
};

// Copies `source` to `target` (created), renaming overridden headers to "X-..." and adding the
// new ones at the end of the header. The target is synced before success. 0 or a line-file
// error code.
int CopyMessageWithOverrides(const std::string& source, const std::string& target,
                             const MessageOverrides* overrides, const std::string& recipient,
                             const std::string& sender);
// The same copy handed to `write` piece by piece (a queue item writer, for instance); `write`
// returns 0 to go on.
int CopyMessageWithOverrides(const std::string& source,
                             const std::function<int(std::string_view)>& write,
                             const MessageOverrides* overrides, const std::string& recipient,
                             const std::string& sender);

}  // namespace store
