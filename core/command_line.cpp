#include "core/command_line.h"

#include "platform/text.h"

namespace core {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (Blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

CommandLine ParseQueueLine(std::string_view line, size_t maxLength, size_t maxTokens) {
  CommandLine out;
  if (line.size() > maxLength) {
    out.kind = CommandLineKind::kTooLong;
    return out;
  }
  if (line.find('\0') != std::string_view::npos) {
    out.kind = CommandLineKind::kNulByte;
    return out;
  }
  std::string_view s = Trim(line);
  if (s.empty() || s.front() == '#') return out;
  if (platform::EqualNoCase(s, "end")) {
    out.kind = CommandLineKind::kEnd;
    return out;
  }
  size_t i = 0;
  while (out.tokens.size() < maxTokens) {
    while (i < s.size() && Blank(s[i])) ++i;
    if (i >= s.size()) break;
    if (s[i] == '"') {
      size_t close = s.find('"', i + 1);
      if (close == std::string_view::npos) {
        out.tokens.clear();
        out.kind = CommandLineKind::kOpenQuote;
        return out;
      }
      out.tokens.emplace_back(s.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      size_t end = i;
      while (end < s.size() && !Blank(s[end]) && s[end] != '"') ++end;
      out.tokens.emplace_back(s.substr(i, end - i));
      i = end;
    }
  }
  out.kind = CommandLineKind::kCommand;
  return out;
}

std::string UnescapeCommandText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 1 || c == 128) {
      out += "\r\n";
      ++i;  // the byte after the mark is the LF's place
    } else if (c == 2 || c == 129) {
      out += '\r';
    } else if (c == 3 || c == 130) {
      out += '\n';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string WrapCommandText(std::string text, size_t column) {
  size_t lineStart = 0;
  size_t lastBlank = std::string::npos;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lineStart = i + 1;
      lastBlank = std::string::npos;
    } else if (c == ' ') {
      if (i - lineStart < column) {
        lastBlank = i;
        continue;
      }
      size_t cut = lastBlank != std::string::npos ? lastBlank : i;
      text[cut] = '\n';
      lineStart = cut + 1;
      lastBlank = cut == i ? std::string::npos : i;
    }
  }
  return text;
}

}  // namespace core
