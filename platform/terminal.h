// The operator's terminal: where the system shows messages and asks questions when a person is
// present. An operator exists when standard input is a terminal; without one, callers behave as
// the system does without an operator interface.
//
// Questions read standard input a byte at a time, so that nothing typed after the answer is
// taken from the event loop, which reads the same descriptor for the console's commands.
// Thread-safe (writes are single calls; questions are asked from the main thread).
#pragma once

#include <string>
#include <vector>

namespace platform {

bool TerminalAttached();

// Writes one line (a line end is added) to standard error.
void ShowOperatorText(const std::string& text);

struct Choice {
  std::string label;  // e.g. "Yes"
  int result;         // also answers it, typed as a decimal number
  char key = 0;       // the letter that answers it (either case); 0: none
};

// The result of the choice that `answer` names: its key letter, its result number or its whole
// label (without case, surrounding blanks ignored); -1 when it names none.
int MatchChoice(const std::string& answer, const std::vector<Choice>& choices);

// Prints `question` with the choices, each with its key and result number, and reads answers
// until one matches. End of input gives `onEof`.
int AskOperator(const std::string& question, const std::vector<Choice>& choices, int onEof);

}  // namespace platform
