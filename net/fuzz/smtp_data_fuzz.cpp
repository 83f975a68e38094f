// Fuzz target: the DATA stream. The input is cut into CR LF lines as the socket layer delivers
// them; each line is unstuffed. Only the line "." ends the data, an unstuffed line is never longer
// than the line it came from, and stuffing it again (a dot in front of a leading dot) gives the
// line back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/smtp_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos < input.size()) {
    size_t end = input.find("\r\n", pos);
    std::string line = end == std::string::npos ? input.substr(pos) : input.substr(pos, end + 2 - pos);
    pos = end == std::string::npos ? input.size() : end + 2;
    std::string original = line;
    net::DataLine kind = net::UnstuffDataLine(&line);
    if ((kind == net::DataLine::kEnd) != (original == ".\r\n")) __builtin_trap();
    if (kind == net::DataLine::kEnd) continue;
    if (line.size() > original.size()) __builtin_trap();
    std::string restuffed = (!line.empty() && line[0] == '.' && original.rfind("..", 0) == 0) ? "." + line : line;
    if (restuffed != original) __builtin_trap();
  }
  return 0;
}
