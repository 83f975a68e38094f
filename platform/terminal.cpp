#include "platform/terminal.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

void WriteAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// One line of standard input, read a byte at a time; false at end of input.
bool ReadAnswerLine(std::string* line) {
  line->clear();
  for (;;) {
    char c;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line->empty();
    if (c == '\n') return true;
    *line += c;
  }
}

// "  C  SETUP: Configure the server (6)" for each choice, then the answers as a hint.
std::string Prompt(const std::string& question, const std::vector<Choice>& choices) {
  std::string prompt = question + "\n";
  std::string hint;
  for (const Choice& c : choices) {
    std::string key = c.key ? std::string(1, static_cast<char>(std::toupper(c.key))) : "";
    prompt += "  " + (key.empty() ? std::string(1, ' ') : key) + "  " + c.label + " (" +
              std::to_string(c.result) + ")\n";
    if (!hint.empty()) hint += ", ";
    hint += key.empty() ? c.label : key;
  }
  return prompt + "Answer " + hint + " or a number: ";
}

}  // namespace

bool TerminalAttached() { return ::isatty(STDIN_FILENO) == 1; }

void ShowOperatorText(const std::string& text) { WriteAll(text + "\n"); }

int MatchChoice(const std::string& answer, const std::vector<Choice>& choices) {
  std::string a = Lower(Trimmed(answer));
  if (a.empty()) return -1;
  for (const Choice& c : choices) {
    bool byKey =
        c.key != 0 && a.size() == 1 && a[0] == std::tolower(static_cast<unsigned char>(c.key));
    if (byKey || a == std::to_string(c.result) || a == Lower(c.label)) return c.result;
  }
  return -1;
}

int AskOperator(const std::string& question, const std::vector<Choice>& choices, int onEof) {
  std::string prompt = Prompt(question, choices);
  for (;;) {
    WriteAll(prompt);
    std::string answer;
    if (!ReadAnswerLine(&answer)) return onEof;
    int result = MatchChoice(answer, choices);
    if (result != -1) return result;
  }
}

}  // namespace platform
