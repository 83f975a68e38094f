#include "web/template/variable_table.h"

#include <cctype>

namespace web {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

long CVariableTable::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (EqualNoCase(entries_[i].name, name)) return static_cast<long>(i);
  }
  return -1;
}

void CVariableTable::Set(std::string_view name, std::string_view value, Origin origin) {
  long i = IndexOf(name);
  if (i >= 0) {
    entries_[i].value.assign(value);
    entries_[i].origin = origin;
    return;
  }
  if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.size() + kGrowth);
  entries_.push_back(Variable{std::string(name), std::string(value), origin});
}

const Variable* CVariableTable::Find(std::string_view name) const {
  long i = IndexOf(name);
  return i < 0 ? nullptr : &entries_[i];
}

std::string CVariableTable::Get(std::string_view name, std::string_view def) const {
  const Variable* v = Find(name);
  return v != nullptr ? v->value : std::string(def);
}

void CVariableTable::Remove(std::string_view name) {
  long i = IndexOf(name);
  if (i >= 0) entries_.erase(entries_.begin() + i);
}

const Variable* CVariableTable::First() const {
  cursor_ = 0;
  return Next();
}

const Variable* CVariableTable::Next() const {
  if (cursor_ >= entries_.size()) return nullptr;
  return &entries_[cursor_++];
}

std::string EscapeRequestText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  AppendEscaped(text, &out);
  return out;
}

void AppendEscaped(std::string_view text, std::string* outp) {
  std::string& out = *outp;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '*':
        // "(*" opens a reference. A "*" at the start could complete a "(" written just before
        // (the end of another value), so it is escaped too.
        if (i == 0 || text[i - 1] == '(') {
          out += "&#42;";
        } else {
          out += c;
        }
        break;
      case '(':
        // Likewise a "(" at the end could open a reference with what follows.
        if (i + 1 == text.size()) {
          out += "&#40;";
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
}

}  // namespace web
