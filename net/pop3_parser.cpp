#include "net/pop3_parser.h"

#include <cctype>
#include <climits>
#include <iterator>

namespace net {
namespace {

constexpr std::string_view kVerbs[] = {"USER", "PASS", "TOP",  "STAT", "RETR", "LIST",
                                       "DELE", "QUIT", "RSET", "NOOP", "NOK"};

// The leading decimal value ("+"/"-" and blanks allowed before it, as the C library reads it),
// clamped to the range of long.
long LeadingNumber(std::string_view text, bool* found) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  *found = false;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    *found = true;
    int digit = text[i] - '0';
    value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace

Pop3CommandLine ParsePop3Command(std::string_view line) {
  Pop3CommandLine out;
  size_t end = line.find_first_of(" \r\n");
  std::string_view word = line.substr(0, end);
  if (end != std::string_view::npos) {
    size_t start = line.find_first_not_of(" \t", end);
    if (start != std::string_view::npos) {
      size_t stop = line.find_first_of("\r\n", start);
      out.argument.assign(line.substr(start, stop == std::string_view::npos ? std::string_view::npos : stop - start));
    }
  }
  std::string upper(word);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (size_t i = 0; i < std::size(kVerbs) && !upper.empty(); ++i) {
    if (upper == kVerbs[i]) {
      out.verb = static_cast<Pop3Verb>(i);
      return out;
    }
  }
  out.verb = Pop3Verb::kUnknown;
  return out;
}

long Pop3MessageNumber(std::string_view argument) {
  if (argument.empty()) return 0;
  bool found = false;
  long value = LeadingNumber(argument, &found);
  return !found || value < 1 ? -1 : value;
}

Pop3TopArguments ParsePop3Top(std::string_view argument) {
  Pop3TopArguments out;
  size_t split = argument.find_first_of(" \t");
  std::string_view first = argument.substr(0, split);
  std::string_view rest;
  if (split != std::string_view::npos) {
    size_t second = argument.find_first_not_of(" \t", split);
    if (second != std::string_view::npos) rest = argument.substr(second);
  }
  std::string_view lines = rest.substr(0, rest.find_first_of(" \t"));
  if (first.empty() || first.size() > kPop3MaxTopPart || lines.empty() || lines.size() > kPop3MaxTopPart) {
    return out;
  }
  long n = Pop3MessageNumber(first);
  out.number = n < 1 ? -1 : n;
  bool found = false;
  long count = LeadingNumber(lines, &found);
  out.lines = count < 0 ? 0 : count;
  return out;
}

}  // namespace net
