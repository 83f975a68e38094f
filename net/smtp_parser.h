// Parsing of what an SMTP client sends: command lines, the paths of MAIL and RCPT, and the lines
// of the DATA stream. Pure functions over text: no I/O, no state, safe on any bytes.
//
// A command is recognised by its first word, upper-cased; the word ends at a blank, CR, LF or
// the end of the line. An empty word is the empty command (no reply); "." is a command of its
// own (ignored). Everything after the first blank is the argument.
#pragma once

#include <string>
#include <string_view>

#include "toolkit/address.h"

namespace net {

enum class SmtpVerb { kHelo, kMail, kRcpt, kData, kQuit, kRset, kVrfy, kDot, kEtrn, kEhlo, kEmpty, kUnknown };

struct SmtpCommandLine {
  SmtpVerb verb = SmtpVerb::kUnknown;
  std::string argument;
};

SmtpCommandLine ParseSmtpCommand(std::string_view line);

// The address of "FROM:<path>" / "TO:<path>" (the whole argument when there is no colon), split
// into local part and domain. A source route ("<@relay.test,@b.test:user@x.test>") is removed
// first: RFC 5321 4.1.1.3 and C say a receiver ignores it, and the address alone is what is
// checked, logged and stored.
toolkit::SplitResult ParseSmtpPath(std::string_view argument);

// The first blank- or tab-separated word of `text`, at most `max` characters.
std::string FirstWord(std::string_view text, size_t max);

// One line of the DATA stream as the socket gives it, with its CR LF. kEnd for the line "."
// alone (RFC 5321 4.1.1.4); otherwise the line is content and a leading ".." loses one dot
// (RFC 5321 4.5.2). Any other line, also ". " or ".\r\r\n", is kept as it came.
enum class DataLine { kContent, kEnd };
DataLine UnstuffDataLine(std::string* line);

}  // namespace net
