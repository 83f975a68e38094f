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

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

long CVariableTable::IndexOf(std::string_view name) const {
  if (!index_.empty()) {
    auto it = index_.find(Lower(name));
    return it == index_.end() ? -1 : static_cast<long>(it->second);
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (EqualNoCase(entries_[i].name, name)) return static_cast<long>(i);
  }
  return -1;
}

void CVariableTable::Reindex() {
  index_.clear();
  if (entries_.size() < kIndexFrom) return;
  index_.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(Lower(entries_[i].name), i);
}

void CVariableTable::Set(std::string_view name, std::string_view value, Origin origin) {
  long i = IndexOf(name);
  if (i >= 0) {
    entries_[i].value.assign(value);
    entries_[i].origin = origin;
    return;
  }
  if (entries_.capacity() == 0) entries_.reserve(kGrowth);
  entries_.push_back(Variable{std::string(name), std::string(value), origin});
  if (!index_.empty()) {
    index_.emplace(Lower(name), entries_.size() - 1);
  } else if (entries_.size() == kIndexFrom) {
    Reindex();
  }
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
  if (i < 0) return;
  entries_.erase(entries_.begin() + i);
  if (!index_.empty()) Reindex();  // the entries behind it moved
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
        // NUL and other control bytes are not text in a page; tab, CR and LF are kept.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n') break;
        out += c;
    }
  }
}

}  // namespace web
