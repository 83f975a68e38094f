// Parsing of what a POP3 client sends (RFC 1939): command lines and their arguments. Pure
// functions over text: no I/O, no state, safe on any bytes.
//
// A command is recognised by its first word, upper-cased; the word ends at a blank, CR, LF or
// the end of the line, and an empty word is unknown. The argument starts after the word and the
// blanks or tabs behind it and ends at CR, LF or the end of the line.
#pragma once

#include <string>
#include <string_view>

namespace net {

enum class Pop3Verb { kUser, kPass, kTop, kStat, kRetr, kList, kDele, kQuit, kRset, kNoop, kNok, kUnknown };

struct Pop3CommandLine {
  Pop3Verb verb = Pop3Verb::kUnknown;
  std::string argument;
};

// Longest command line kept, and longest USER/PASS argument.
constexpr size_t kPop3MaxCommandLine = 255;
// Longest part of a TOP argument.
constexpr size_t kPop3MaxTopPart = 31;

Pop3CommandLine ParsePop3Command(std::string_view line);

// The message number of an argument: 0 when missing, -1 when its leading decimal value is below 1
// (or not a number).
long Pop3MessageNumber(std::string_view argument);

// "TOP n lines": the message number (-1 when either part is missing or longer than
// kPop3MaxTopPart) and the line count (0 or more).
struct Pop3TopArguments {
  long number = -1;
  long lines = 0;
};
Pop3TopArguments ParsePop3Top(std::string_view argument);

}  // namespace net
