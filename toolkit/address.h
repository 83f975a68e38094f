// Addresses in header and envelope texts, split into local part and domain.
//
// SplitAddress is the literal split of the stored formats (envelope files, account files, SMTP
// paths): after "<" (outside double quotes) when there is one, else the word that holds "@"
// (from the blank or tab before it). Blanks, tabs and "<" are skipped; the local part runs to
// "@", CR, LF, ">" or the end, the domain after "@" to CR, LF, ">" or the end; each at most 127
// characters. Without "@" the domain is empty.
//
// SplitMailbox reads an RFC 5322 address header value (From, Reply-To, Sender ...) for the
// address a reply or report is sent to: the first mailbox of the value, its comments removed and
// its display name, angle brackets, group name and source route split off. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace toolkit {

constexpr size_t kMaxAddressPart = 127;

struct SplitResult {
  std::string local;
  std::string domain;
};

SplitResult SplitAddress(const std::string& text);

// The first mailbox of an address list (RFC 5322 3.4, with the obsolete forms of 4.4):
// - comments "(...)" are removed wherever they stand, nested or with quoted pairs; a "(" inside
//   a quoted string or a domain literal is text;
// - a display name (words or a quoted string) before "<addr>" is dropped, and so is the name of
//   a group ("team: a@x, b@y;" gives a@x; an empty group gives an empty result);
// - a source route "<@relay1,@relay2:user@host>" is dropped (RFC 5322 4.4);
// - white space around the dots and "@" of the address is dropped ("john . doe @ x" gives
//   john.doe@x); a quoted local part keeps its quotes ("\"john doe\"@x");
// - words before a bare address that no rule explains ("To: someone bob@x") leave the word that
//   holds "@", as SplitAddress does; a text without "@" is a local part alone.
// Each part is cut to 127 characters.
SplitResult SplitMailbox(std::string_view text);

// "local@domain", or the local part alone when the domain is empty.
std::string JoinAddress(const SplitResult& parts);

// JoinAddress(SplitMailbox(text)).
std::string MailboxAddress(std::string_view text);

}  // namespace toolkit
