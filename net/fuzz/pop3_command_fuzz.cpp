// Fuzz target: the POP3 command line parser, message numbers and TOP arguments. The argument
// never holds CR or LF, message numbers are 0, -1 or positive, and a TOP number is -1 whenever a
// part is missing or over its limit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/pop3_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  net::Pop3CommandLine command = net::ParsePop3Command(line);
  if (command.argument.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  if (!command.argument.empty() && (command.argument[0] == ' ' || command.argument[0] == '\t')) {
    __builtin_trap();
  }
  long n = net::Pop3MessageNumber(command.argument);
  if (n == 0 && !command.argument.empty()) __builtin_trap();
  if (n < -1) __builtin_trap();
  net::Pop3TopArguments top = net::ParsePop3Top(command.argument);
  if (top.number < -1 || top.number == 0 || top.lines < 0) __builtin_trap();
  if (top.number > 0) {
    size_t split = command.argument.find_first_of(" \t");
    if (split == std::string::npos || split > net::kPop3MaxTopPart) __builtin_trap();
  }
  return 0;
}
