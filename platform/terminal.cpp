#include "platform/terminal.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <iostream>

namespace platform {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool TerminalAttached() { return ::isatty(STDIN_FILENO) == 1; }

void ShowOperatorText(const std::string& text) {
  std::string line = text + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

int AskOperator(const std::string& question, const std::vector<Choice>& choices, int onEof) {
  std::string prompt = question + "\n[";
  for (size_t i = 0; i < choices.size(); ++i) {
    if (i) prompt += "/";
    prompt += choices[i].label;
  }
  prompt += "] ";
  for (;;) {
    ssize_t ignored = ::write(STDERR_FILENO, prompt.data(), prompt.size());
    (void)ignored;
    std::string answer;
    if (!std::getline(std::cin, answer)) return onEof;
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back())))
      answer.pop_back();
    answer = Lower(answer);
    for (const Choice& c : choices) {
      std::string label = Lower(c.label);
      if (answer == label || (answer.size() == 1 && !label.empty() && answer[0] == label[0]))
        return c.result;
    }
  }
}

}  // namespace platform
