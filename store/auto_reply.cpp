#include "store/auto_reply.h"

#include <algorithm>
#include <map>
#include <vector>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "store/line_file.h"
#include "store/message_text.h"

namespace store {
namespace {

// The keyword of a field value: up to the first blank, ";" or "(" (RFC 3834 section 5 allows
// parameters and comments after it), lower case.
std::string Keyword(std::string_view value) {
  size_t start = value.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  value.remove_prefix(start);
  return platform::ToLower(std::string(value.substr(0, value.find_first_of(" \t;("))));
}

void Collect(const std::string& field, ReplyHeaderFacts* facts) {
  size_t colon = field.find(':');
  if (colon == std::string::npos) return;
  std::string name = platform::ToLower(field.substr(0, colon));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
  std::string_view value = std::string_view(field).substr(colon + 1);
  if (name == "auto-submitted" && facts->autoSubmitted.empty()) {
    facts->autoSubmitted = Keyword(value);
    if (facts->autoSubmitted.empty()) facts->autoSubmitted = "(empty)";  // present: not "no"
  } else if (name == "precedence" && facts->precedence.empty()) {
    facts->precedence = Keyword(value);
  } else if (name == "list-id" || name == "x-loop") {
    // X-Loop is what a list (this server's own among them) or a forwarding program writes on
    // the mail it sends on: mail that went through one is list traffic, and an answer to it
    // would go back to the whole list (its Reply-to) and could start a loop with another
    // responder there.
    facts->listId = true;
  }
}

// "local@domain" in lower case, the form the memory keeps (comments and display name removed).
std::string MemoryKey(const std::string& address) {
  return platform::ToLower(MailboxAddress(address));
}

}  // namespace

int ReadReplyHeaderFacts(const std::string& messageFile, ReplyHeaderFacts* facts) {
  *facts = ReplyHeaderFacts();
  CLineFile in;
  if (int rc = in.Open(platform::ResolvePath(messageFile), platform::FileMode::kRead); rc != 0)
    return rc;
  std::string line, field;
  int rc;
  while ((rc = in.ReadLine(&line, 998)) == 0) {  // RFC 5322 2.1.1: no longer field lines matter
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      field += line;  // a folded field goes on
      continue;
    }
    Collect(field, facts);
    field = line;
  }
  Collect(field, facts);
  return rc == kErrEndOfFile || rc == 0 ? 0 : rc;
}

bool MustNotAnswer(const ReplyHeaderFacts& facts) {
  if (!facts.autoSubmitted.empty() && facts.autoSubmitted != "no") return true;
  if (facts.precedence == "bulk" || facts.precedence == "junk" || facts.precedence == "list")
    return true;
  return facts.listId;
}

bool IsNullOrDaemonAddress(const std::string& address) {
  SplitResult parts = SplitMailbox(address);
  return parts.local.empty() || platform::ToLower(parts.local) == "mailer-daemon" ||
         platform::ToLower(JoinAddress(parts)) == kAnonymousSender;
}

CVacationMemory::CVacationMemory(std::string mailboxDir, int periodDays)
    : path_(platform::ResolvePath(platform::JoinPath(mailboxDir, kVacationMemoryFile))),
      periodSeconds_(86400L * (periodDays < 1 ? 1 : periodDays)) {}

int CVacationMemory::TakeTurn(const std::string& address, std::time_t now) {
  std::string key = MemoryKey(address);
  // The entries still within the period, latest time per address.
  std::map<std::string, long long> entries;
  CLineFile in;
  if (in.Open(path_, platform::FileMode::kRead) == 0) {
    std::string line;
    while (in.ReadLine(&line, kVacationLineMax) == 0) {
      size_t blank = line.find(' ');
      if (blank == std::string::npos || blank == 0) continue;
      long long when = platform::ParseDecimal(line.substr(0, blank));
      long long age = static_cast<long long>(now) - when;
      if (age >= periodSeconds_ || age < -periodSeconds_)
        continue;  // expired, or from a clock far ahead
      long long& kept = entries[line.substr(blank + 1)];
      if (when > kept) kept = when;
    }
    in.Close();
  }
  if (entries.count(key) != 0) return 0;
  entries[key] = now;
  // Oldest first out when the memory is full.
  std::vector<std::pair<long long, const std::string*>> byTime;
  for (const auto& [address, when] : entries) byTime.emplace_back(when, &address);
  std::sort(byTime.begin(), byTime.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  if (byTime.size() > kVacationMemoryMax) byTime.resize(kVacationMemoryMax);
  std::string text;
  for (const auto& [when, address] : byTime) text += std::to_string(when) + " " + *address + "\r\n";
  return platform::WriteFileAtomic(path_, text) == 0 ? 1 : -1;
}

}  // namespace store
