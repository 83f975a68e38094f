// The operator's terminal: where the system shows messages and asks questions when a person is
// present. An operator exists when standard input is a terminal; without one, callers behave as
// the system does without an operator interface.
// Thread-safe (writes are single calls; questions are asked from the main thread).
#pragma once

#include <string>
#include <vector>

namespace platform {

bool TerminalAttached();

// Writes one line (a line end is added) to standard error.
void ShowOperatorText(const std::string& text);

struct Choice {
  std::string label;  // e.g. "Yes"; the first letter answers it
  int result;
};

// Prints `question` with the choices and reads answers until one matches (by first letter or by
// whole label, without case). End of input gives `onEof`.
int AskOperator(const std::string& question, const std::vector<Choice>& choices, int onEof);

}  // namespace platform
