// Fuzz target: the SMTP command line parser and the path parser. Every line gives one verb; the
// argument is a suffix of the line; an address part never exceeds its limit and a path never
// keeps a source route ("@host:" in front of the local part).
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/smtp_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  net::SmtpCommandLine command = net::ParseSmtpCommand(line);
  if (command.argument.size() > line.size()) __builtin_trap();
  if (!command.argument.empty() && line.compare(line.size() - command.argument.size(),
                                                command.argument.size(), command.argument) != 0) {
    __builtin_trap();
  }
  if (command.verb == net::SmtpVerb::kEmpty && !line.empty() && line[0] != ' ' && line[0] != '\r' &&
      line[0] != '\n') {
    __builtin_trap();
  }
  toolkit::SplitResult path = net::ParseSmtpPath(command.argument);
  if (path.local.size() > toolkit::kMaxAddressPart || path.domain.size() > toolkit::kMaxAddressPart) {
    __builtin_trap();
  }
  std::string word = net::FirstWord(line, 63);
  if (word.size() > 63 || word.find_first_of(" \t\r\n") != std::string::npos) __builtin_trap();
  return 0;
}
