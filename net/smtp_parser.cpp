#include "net/smtp_parser.h"

#include <algorithm>
#include <cctype>

namespace net {
namespace {

constexpr std::string_view kVerbs[] = {"HELO", "MAIL", "RCPT", "DATA", "QUIT",
                                       "RSET", "VRFY", ".",    "ETRN", "EHLO"};

// Removes "@host,@host:" after the opening bracket (or at the start of a path without one).
std::string WithoutSourceRoute(std::string_view path) {
  std::string text(path);
  size_t at = text.find('<');
  at = at == std::string::npos ? 0 : at + 1;
  size_t start = text.find_first_not_of(" \t", at);
  if (start == std::string::npos || text[start] != '@') return text;
  size_t colon = text.find(':', start);
  size_t close = text.find('>', start);
  if (colon == std::string::npos || (close != std::string::npos && close < colon)) return text;
  text.erase(start, colon + 1 - start);
  return text;
}

}  // namespace

SmtpCommandLine ParseSmtpCommand(std::string_view line) {
  SmtpCommandLine out;
  size_t end = line.find_first_of(" \r\n");
  std::string_view word = line.substr(0, end);
  if (end != std::string_view::npos) out.argument.assign(line.substr(end + 1));
  if (word.empty()) {
    out.verb = SmtpVerb::kEmpty;
    return out;
  }
  std::string upper(word);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (size_t i = 0; i < std::size(kVerbs); ++i) {
    if (upper == kVerbs[i]) {
      out.verb = static_cast<SmtpVerb>(i);
      return out;
    }
  }
  out.verb = SmtpVerb::kUnknown;
  return out;
}

toolkit::SplitResult ParseSmtpPath(std::string_view argument) {
  size_t colon = argument.find(':');
  std::string_view path = colon == std::string_view::npos ? argument : argument.substr(colon + 1);
  return toolkit::SplitAddress(WithoutSourceRoute(path));
}

std::string FirstWord(std::string_view text, size_t max) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::string();
  size_t end = text.find_first_of(" \t\r\n", start);
  if (end == std::string_view::npos) end = text.size();
  return std::string(text.substr(start, std::min(end - start, max)));
}

DataLine UnstuffDataLine(std::string* line) {
  if (line->empty() || (*line)[0] != '.') return DataLine::kContent;
  if (*line == ".\r\n") return DataLine::kEnd;
  if (line->size() > 1 && (*line)[1] == '.') line->erase(0, 1);
  return DataLine::kContent;
}

}  // namespace net
