// CVariableTable: the ordered name/value table of one template run (and of a directive's
// attributes). Names compare without regard to case; setting a present name replaces its value in
// place, a new name is appended. Every value carries its origin: text that came from a request
// (form fields, query parameters, anything computed from them) or text the program set itself.
// The engine writes request text into pages escaped, so that it never becomes markup, a directive
// or a variable reference; program text is written as it is.
//
// Not thread-safe: one table belongs to one request.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace web {

enum class Origin { kProgram, kRequest };

struct Variable {
  std::string name;
  std::string value;
  Origin origin = Origin::kProgram;
};

class CVariableTable {
 public:
  static constexpr size_t kGrowth = 20;  // first capacity
  // From this many entries on, names are found through an index: a form of many thousand fields
  // would otherwise take a time growing with the square of their number.
  static constexpr size_t kIndexFrom = 32;

  // Sets `name` (replacing in place or appending).
  void Set(std::string_view name, std::string_view value, Origin origin = Origin::kProgram);
  void SetRequest(std::string_view name, std::string_view value) {
    Set(name, value, Origin::kRequest);
  }
  // The entry of `name`, or nullptr.
  const Variable* Find(std::string_view name) const;
  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  // The value of `name`, or `def` when absent.
  std::string Get(std::string_view name, std::string_view def = {}) const;
  void Remove(std::string_view name);
  void Clear() {
    entries_.clear();
    index_.clear();
  }

  size_t Size() const { return entries_.size(); }
  const Variable& At(size_t i) const { return entries_[i]; }

  // Cursor over the entries in order: First() rewinds and gives the first, Next() the following;
  // nullptr past the end.
  const Variable* First() const;
  const Variable* Next() const;

 private:
  long IndexOf(std::string_view name) const;
  void Reindex();
  std::vector<Variable> entries_;
  std::unordered_map<std::string, size_t> index_;  // lower-case name -> entry; empty when small
  mutable size_t cursor_ = 0;
};

bool EqualNoCase(std::string_view a, std::string_view b);

// Request text made safe for a page: HTML special characters become entities, and "(*" becomes
// "(&#42;" so the text cannot be taken for a variable reference when the page is run again; a
// leading "*" and a trailing "(" are escaped as well, so two values written side by side cannot
// make a reference between them. ("<!--ISW" cannot survive either: its "<" becomes "&lt;".)
// NUL and other control bytes except tab, CR and LF are dropped. Every page of the extension
// writes request text through this one escaper.
std::string EscapeRequestText(std::string_view text);
// The same, appended to `out`.
void AppendEscaped(std::string_view text, std::string* out);

// The value as it goes into a page: escaped when it came from a request.
inline std::string PageText(const Variable& v) {
  return v.origin == Origin::kRequest ? EscapeRequestText(v.value) : v.value;
}

}  // namespace web
