#include "toolkit/address.h"

#include <algorithm>
#include <vector>

namespace toolkit {

SplitResult SplitAddress(const std::string& text) {
  size_t start = std::string::npos;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (!quoted && text[i] == '<') {
      start = i + 1;
      break;
    }
  }
  if (start == std::string::npos) {
    size_t at = text.find('@');
    size_t pos = at == std::string::npos ? 0 : at;
    while (pos > 0 && text[pos - 1] != ' ' && text[pos - 1] != '\t') --pos;
    start = pos;
  }
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t' || text[start] == '<'))
    ++start;
  SplitResult r;
  size_t i = start;
  while (i < text.size() && text[i] != '@' && text[i] != '\r' && text[i] != '\n' &&
         text[i] != '>') {
    if (r.local.size() < kMaxAddressPart) r.local += text[i];
    ++i;
  }
  if (i < text.size() && text[i] == '@') {
    for (++i; i < text.size() && text[i] != '\r' && text[i] != '\n' && text[i] != '>'; ++i) {
      if (r.domain.size() < kMaxAddressPart) r.domain += text[i];
    }
  }
  return r;
}

std::string JoinAddress(const SplitResult& parts) {
  return parts.domain.empty() ? parts.local : parts.local + "@" + parts.domain;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text with each comment replaced by one blank; quoted strings and domain literals are
// copied as they are (a "(" inside them is text). An unclosed comment runs to the end.
std::string WithoutComments(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  int depth = 0;
  char closing = 0;  // '"' inside a quoted string, ']' inside a domain literal
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (depth > 0) {
      if (c == '\\') {
        ++i;  // a quoted pair: the next character is text of the comment
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        out += ' ';
      }
      continue;
    }
    if (closing != 0) {
      out += c;
      if (c == '\\' && i + 1 < text.size()) {
        out += text[++i];
      } else if (c == closing) {
        closing = 0;
      }
      continue;
    }
    if (c == '(') {
      depth = 1;
      continue;
    }
    if (c == '"') closing = '"';
    if (c == '[') closing = ']';
    out += c;
  }
  return out;
}

// Walks `s` from `i` over one quoted string or domain literal when one starts there; returns the
// index of its last character (or of `i` itself when none starts there).
size_t SkipQuoted(std::string_view s, size_t i) {
  char closing = s[i] == '"' ? '"' : s[i] == '[' ? ']' : 0;
  if (closing == 0) return i;
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == closing) {
      return i;
    }
  }
  return s.size() - 1;
}

// The first entry of a comment-free address list that holds an address ("@" or "<"), without a
// group's name; when none does, the first non-empty entry. So an unquoted comma in a display
// name ("Doe, John <jd@x>", common in mail from old programs) does not hide the address.
std::string_view FirstEntry(std::string_view s) {
  size_t start = 0;
  bool angle = false, addressSeen = false;
  std::string_view fallback;
  auto blank = [](std::string_view entry) {
    for (char e : entry) {
      if (!IsBlank(e)) return false;
    }
    return true;
  };
  for (size_t i = 0; i <= s.size(); ++i) {
    char c = i < s.size() ? s[i] : ',';  // the end closes the last entry
    if (c == '"' || c == '[') {
      i = SkipQuoted(s, i);
      continue;
    }
    if (c == '<') {
      angle = addressSeen = true;
    } else if (c == '>') {
      angle = false;
    } else if (c == '@') {
      addressSeen = true;
    } else if (!angle && c == ':' && !addressSeen) {
      start = i + 1;  // "group name:" starts a group
    } else if ((!angle || i == s.size()) && (c == ',' || c == ';')) {
      std::string_view entry = s.substr(start, i - start);
      if (addressSeen) return entry;
      if (fallback.empty() && !blank(entry)) fallback = entry;
      start = i + 1;
    }
  }
  return fallback;
}

}  // namespace

SplitResult SplitMailbox(std::string_view text) {
  std::string clean = WithoutComments(text);
  std::string_view entry = FirstEntry(clean);
  // "display name <addr>": the text inside the angle brackets.
  for (size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '"' || entry[i] == '[') {
      i = SkipQuoted(entry, i);
    } else if (entry[i] == '<') {
      entry.remove_prefix(i + 1);
      size_t close = entry.find('>');
      if (close != std::string_view::npos) entry = entry.substr(0, close);
      // A source route "@relay1,@relay2:" before the address is dropped.
      size_t first = entry.find_first_not_of(" \t\r\n");
      if (first != std::string_view::npos && entry[first] == '@') {
        size_t colon = entry.find(':');
        entry.remove_prefix(colon == std::string_view::npos ? entry.size() : colon + 1);
      }
      break;
    }
  }
  // The words of the address; white space next to "." or "@" joins two words into one.
  std::vector<std::string> words;
  bool glue = false;  // the previous word ended with "." or "@": the next one joins it
  // A stray "<" or ">" left outside a pair separates words like a blank.
  auto separator = [](char c) { return IsBlank(c) || c == '<' || c == '>'; };
  for (size_t i = 0; i < entry.size();) {
    if (separator(entry[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < entry.size() && !separator(entry[end])) end = SkipQuoted(entry, end) + 1;
    std::string_view word = entry.substr(i, end - i);
    if (words.empty() || !(glue || word[0] == '.' || word[0] == '@')) {
      words.emplace_back(word);
    } else {
      words.back().append(word);
    }
    glue = word.back() == '.' || word.back() == '@';
    i = end;
  }
  std::string address;
  for (const std::string& w : words) {
    bool hasAt = false;
    for (size_t i = 0; i < w.size() && !hasAt; ++i) {
      if (w[i] == '"' || w[i] == '[') {
        i = SkipQuoted(w, i);
      } else {
        hasAt = w[i] == '@';
      }
    }
    if (hasAt) {
      address = w;
      break;
    }
    if (!address.empty()) address += ' ';
    address += w;  // no "@" in any word: the words are the local part
  }
  SplitResult r;
  size_t at = std::string::npos;
  for (size_t i = 0; i < address.size(); ++i) {
    if (address[i] == '"' || address[i] == '[') {
      i = SkipQuoted(address, i);
    } else if (address[i] == '@') {
      at = i;
      break;
    }
  }
  r.local = address.substr(0, std::min(at, kMaxAddressPart));
  if (at != std::string::npos) r.domain = address.substr(at + 1, kMaxAddressPart);
  return r;
}

std::string MailboxAddress(std::string_view text) { return JoinAddress(SplitMailbox(text)); }

}  // namespace toolkit
