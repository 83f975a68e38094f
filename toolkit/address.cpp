#include "toolkit/address.h"

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

}  // namespace toolkit
