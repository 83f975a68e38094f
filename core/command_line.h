// The line language of the command queue: splitting a line into tokens, the text escapes of the
// message commands and the wrapping of message texts. Pure functions, no I/O.
//
// A line holds at most kCommandLineMax characters (line end excluded). Leading and trailing
// blanks and tabs are ignored; an empty line and a line whose first non-blank character is "#"
// are comments. A line that is "end" (any case) ends the batch. Tokens are separated by blanks
// and tabs; a token that begins with a double quote runs to the next double quote and loses the
// quotes; at most kCommandMaxTokens tokens are read, the rest of the line is not. A line that is
// too long, holds a NUL byte or a quote that is never closed is malformed and runs nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace core {

constexpr size_t kCommandLineMax = 1024;
constexpr size_t kCommandMaxTokens = 20;
// Texts of generated messages are broken at a blank met at this column or later.
constexpr size_t kCommandWrapColumn = 77;

enum class CommandLineKind {
  kComment,    // empty or "#": ignored, not logged
  kEnd,        // "end": the batch ends here
  kCommand,    // tokens[0] is the command name
  kTooLong,    // over the length limit
  kNulByte,    // holds a NUL byte
  kOpenQuote,  // a quoted token is never closed
};

struct CommandLine {
  CommandLineKind kind = CommandLineKind::kComment;
  std::vector<std::string> tokens;
};

// `line` without its line end.
CommandLine ParseQueueLine(std::string_view line, size_t maxLength = kCommandLineMax,
                           size_t maxTokens = kCommandMaxTokens);

// The text escapes: byte 1 or 128 becomes CR and the byte after it becomes LF (a CR LF when it
// is the last byte); 2 or 129 becomes CR; 3 or 130 becomes LF.
std::string UnescapeCommandText(std::string_view text);

// Breaks lines of `text` at blanks: when a blank is met at `column` (0-based) or later, the last
// earlier blank of that line, or this one when there was none, becomes LF. CR and LF start a
// new line. Words longer than a line are not broken.
std::string WrapCommandText(std::string text, size_t column = kCommandWrapColumn);

}  // namespace core
