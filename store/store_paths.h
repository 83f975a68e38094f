// Where the mail store keeps its files under the home directory: the inbound queue INQUEUE, the
// outbound queues OUTQUEUE/<dir> (MAILHUB for the relay host, UUCPHUB for the UUCP gateway) and
// the mailboxes MAILIN/<account>. Every module asks here instead of spelling the names itself.
//
// The returned paths are resolved without regard to case (an existing "inqueue" is found); a
// directory that does not exist yet is named in its canonical upper-case spelling. Thread-safe;
// no state.
#pragma once

#include <string>

namespace store {

constexpr char kInqueueName[] = "INQUEUE";
constexpr char kOutqueueName[] = "OUTQUEUE";
constexpr char kMailinName[] = "MAILIN";
constexpr char kMailHubQueue[] = "MAILHUB";
constexpr char kUucpHubQueue[] = "UUCPHUB";
constexpr char kPostmasterMailbox[] = "MASTER";

std::string InqueueDir(const std::string& home);
std::string OutqueueRoot(const std::string& home);
// OUTQUEUE/<queue>; `queue` is a queue directory name of the domain table.
std::string OutqueueDir(const std::string& home, const std::string& queue);
std::string MailinRoot(const std::string& home);
// MAILIN/<account>.
std::string MailboxDir(const std::string& home, const std::string& account);

}  // namespace store
