// Fuzz target: the command queue's line parser, the text escapes and the wrapping. A parsed
// command has 1 to 20 tokens, none holding a quote or (unquoted) a blank; malformed kinds carry
// no tokens; the unescaped text holds no escape byte; wrapping keeps the length and changes
// only blanks into LF.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  core::CommandLine parsed = core::ParseQueueLine(line);
  if (parsed.kind == core::CommandLineKind::kCommand) {
    if (parsed.tokens.empty() || parsed.tokens.size() > core::kCommandMaxTokens) __builtin_trap();
    if (line.size() > core::kCommandLineMax) __builtin_trap();
    for (const std::string& t : parsed.tokens) {
      if (t.find('"') != std::string::npos) __builtin_trap();
    }
    if (parsed.tokens[0].empty() && line.find('"') == std::string::npos) __builtin_trap();
  } else if (!parsed.tokens.empty()) {
    __builtin_trap();
  }
  std::string text = core::UnescapeCommandText(line);
  for (unsigned char c : text) {
    if (c == 1 || c == 2 || c == 3 || c == 128 || c == 129 || c == 130) __builtin_trap();
  }
  std::string wrapped = core::WrapCommandText(line);
  if (wrapped.size() != line.size()) __builtin_trap();
  for (size_t i = 0; i < line.size(); ++i) {
    if (wrapped[i] != line[i] && !(line[i] == ' ' && wrapped[i] == '\n')) __builtin_trap();
  }
  return 0;
}
