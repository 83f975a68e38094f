// The template syntax, without I/O: variable references, indexed references and directives with
// their attributes, scanned out of one line of template text.
//
// "(*name*)" is a reference (a name is letters, digits, "_" and "."); "(*name[c]*)" an indexed
// reference. "<!--ISW " (matched exactly) opens a directive: its name, then attributes "name",
// "name=value", where a value is a bare word, a text in double or single quotes or in square
// brackets, or a reference, and values joined by "&" are concatenated. It ends at "-->" or ">".
// A line without "-->" after the opening holds no directive.
//
// Each attribute value keeps its pieces with their origin, so the engine knows which bytes of a
// value came from a request. Thread-safe; no state.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "web/template/variable_table.h"

namespace web {

constexpr size_t kMaxLine = 1151;     // characters of one template line
constexpr size_t kMaxShownName = 60;  // an unknown reference is written back cut to this

struct Reference {
  std::string name;
  bool indexed = false;
  char index = 0;  // the one-character index variable
  size_t end = 0;  // position after "*)"
};

// At `pos` the line holds "(*": true with `*ref` filled when a well-formed reference follows.
bool ScanReference(std::string_view line, size_t pos, Reference* ref);

struct Piece {
  std::string text;
  Origin origin = Origin::kProgram;
};

struct Attribute {
  std::string name;
  bool hasValue = false;  // written with "=" (an attribute alone has an empty value)
  std::vector<Piece> pieces;
  std::string Value() const;
  Origin ValueOrigin() const;  // kRequest when any piece came from a request
};

struct Directive {
  std::string tag;
  std::vector<Attribute> attrs;
  std::string text;  // the directive as written, between "<!--ISW " and its end
  const Attribute* Find(std::string_view name) const;
};

// Resolves a reference to its replacement text and origin.
using ReferenceResolver = std::function<Piece(const Reference&)>;

// At `pos` the line holds "<!--ISW ": parses the directive. True with `*dir` and `*end` (the
// position after the directive) set; false when it is not a directive (plain text).
bool ParseDirective(std::string_view line, size_t pos, const ReferenceResolver& resolve,
                    Directive* dir, size_t* end);

}  // namespace web
