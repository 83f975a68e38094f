// Automatic replies (auto-reply and vacation) under the rules of RFC 3834, so that two
// responders, or one responder and itself, never answer each other without end.
//
// ReadReplyHeaderFacts reads the header fields that mark a message as automatic or bulk
// (Auto-Submitted, Precedence, List-Id, X-Loop); MustNotAnswer applies RFC 3834 section 2 to them;
// IsNullOrDaemonAddress tells the senders that are never answered (the null sender and the
// MAILER-DAEMON). CVacationMemory keeps, per account, when a vacation reply last went to each
// address, so that one address gets one reply per period (RFC 3834 section 2: "responders SHOULD
// NOT ... respond to the same sender more than once within a period of several days"; 7 days
// unless the setting VacationDays says otherwise).
//
// The memory is the file `vacation.sent` in the account's mailbox directory MAILIN/<account>:
// one line "<seconds since 1970> <address>" per address (addresses in lower case), rewritten
// through a temporary file and a rename. Its name begins with neither "M" nor "B", so no reader
// of the mailbox takes it for a message or a busy marker, and it is not `vacation.txt`, the
// account's vacation text. Entries older than the period are dropped at each write; at most
// kVacationMemoryMax are kept (the oldest go first).
//
// Thread rules: no state outside the files; the memory of one account is written by the
// distribution only, which runs once at a time per process. Results as documented per function.
#pragma once

#include <ctime>
#include <string>

namespace store {

constexpr char kVacationMemoryFile[] = "vacation.sent";
constexpr int kDefaultVacationDays = 7;
constexpr size_t kVacationMemoryMax = 4096;
constexpr size_t kVacationLineMax = 511;

struct ReplyHeaderFacts {
  std::string autoSubmitted;  // the field's keyword, lower case; empty when absent
  std::string precedence;     // the same for Precedence
  bool listId = false;        // a List-Id or X-Loop field was seen
};

// Reads the header block of a message file (folded fields unfolded). 0 or a line-file code.
int ReadReplyHeaderFacts(const std::string& messageFile, ReplyHeaderFacts* facts);

// True when the message must get no automatic answer: an Auto-Submitted other than "no",
// Precedence bulk, junk or list, or a List-Id or X-Loop (RFC 3834 sections 2 and 3.1.8,
// RFC 2369/2919).
bool MustNotAnswer(const ReplyHeaderFacts& facts);

// The sender the SMTP server writes into the envelope for the null reverse path "MAIL FROM:<>"
// (a delivery report, RFC 5321 4.5.5).
constexpr char kAnonymousSender[] = "anonymous@varnel";

// True for an empty address, "<>", the anonymous sender (the null reverse path as the SMTP
// server records it), and an address whose local part is MAILER-DAEMON.
bool IsNullOrDaemonAddress(const std::string& address);

class CVacationMemory {
 public:
  // `mailboxDir` is MAILIN/<account>; a period below one day counts as one day.
  CVacationMemory(std::string mailboxDir, int periodDays);

  // Whether a vacation reply to `address` may go at `now`: 1 yes, and the reply is recorded
  // (so it is recorded before it is sent: a failure can cost a reply, never repeat one);
  // 0 no, one went within the period; -1 the memory cannot be written (no reply then either).
  int TakeTurn(const std::string& address, std::time_t now);

 private:
  std::string path_;
  long periodSeconds_;
};

}  // namespace store
