#include "web/template/template_parser.h"

#include <cctype>

namespace web {

namespace {

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool At(std::string_view line, size_t pos, std::string_view what) {
  return line.size() >= pos + what.size() && line.compare(pos, what.size(), what) == 0;
}

// A bare word ends at a blank, "=", "&", ">" or the "-->" that closes the directive.
size_t BareEnd(std::string_view line, size_t pos) {
  while (pos < line.size()) {
    char c = line[pos];
    if (IsBlank(c) || c == '=' || c == '&' || c == '>' || At(line, pos, "-->")) break;
    ++pos;
  }
  return pos;
}

// One operand of a value at `*pos`; false on an unterminated quote.
bool ParseOperand(std::string_view line, size_t* pos, const ReferenceResolver& resolve,
                  Piece* piece) {
  size_t p = *pos;
  if (p >= line.size()) return true;
  char open = line[p];
  if (open == '"' || open == '\'' || open == '[') {
    char close = open == '[' ? ']' : open;
    size_t e = line.find(close, p + 1);
    if (e == std::string_view::npos) return false;
    piece->text.assign(line.substr(p + 1, e - p - 1));
    *pos = e + 1;
    return true;
  }
  Reference ref;
  if (At(line, p, "(*") && ScanReference(line, p, &ref)) {
    *piece = resolve(ref);
    *pos = ref.end;
    return true;
  }
  size_t e = BareEnd(line, p);
  piece->text.assign(line.substr(p, e - p));
  *pos = e;
  return true;
}

}  // namespace

bool ScanReference(std::string_view line, size_t pos, Reference* ref) {
  if (!At(line, pos, "(*")) return false;
  size_t p = pos + 2;
  size_t start = p;
  while (p < line.size() && IsNameChar(line[p])) ++p;
  if (p == start) return false;
  ref->name.assign(line.substr(start, p - start));
  ref->indexed = false;
  ref->index = 0;
  if (At(line, p, "*)")) {
    ref->end = p + 2;
    return true;
  }
  if (p + 5 <= line.size() && line[p] == '[' && line[p + 2] == ']' && At(line, p + 3, "*)")) {
    ref->indexed = true;
    ref->index = line[p + 1];
    ref->end = p + 5;
    return true;
  }
  return false;
}

std::string Attribute::Value() const {
  if (pieces.size() == 1) return pieces[0].text;
  std::string v;
  for (const Piece& p : pieces) v += p.text;
  return v;
}

Origin Attribute::ValueOrigin() const {
  for (const Piece& p : pieces) {
    if (p.origin == Origin::kRequest) return Origin::kRequest;
  }
  return Origin::kProgram;
}

const Attribute* Directive::Find(std::string_view name) const {
  for (const Attribute& a : attrs) {
    if (EqualNoCase(a.name, name)) return &a;
  }
  return nullptr;
}

bool ParseDirective(std::string_view line, size_t pos, const ReferenceResolver& resolve,
                    Directive* dir, size_t* end) {
  constexpr std::string_view kOpen = "<!--ISW ";
  if (!At(line, pos, kOpen)) return false;
  size_t p = pos + kOpen.size();
  if (line.find("-->", p) == std::string_view::npos) return false;
  dir->tag.clear();
  dir->attrs.clear();
  size_t textStart = p;
  while (p < line.size() && IsBlank(line[p])) ++p;
  size_t e = BareEnd(line, p);
  dir->tag.assign(line.substr(p, e - p));
  p = e;
  for (;;) {
    while (p < line.size() && IsBlank(line[p])) ++p;
    if (p >= line.size()) return false;
    if (At(line, p, "-->")) {
      dir->text.assign(line.substr(textStart, p - textStart));
      *end = p + 3;
      return true;
    }
    if (line[p] == '>') {
      dir->text.assign(line.substr(textStart, p - textStart));
      *end = p + 1;
      return true;
    }
    Attribute attr;
    e = BareEnd(line, p);
    if (e == p) {  // a stray "=" or "&": skip it
      ++p;
      continue;
    }
    attr.name.assign(line.substr(p, e - p));
    p = e;
    if (p < line.size() && line[p] == '=') {
      attr.hasValue = true;
      ++p;
      for (;;) {
        Piece piece;
        if (!ParseOperand(line, &p, resolve, &piece)) return false;
        attr.pieces.push_back(std::move(piece));
        if (p < line.size() && line[p] == '&') {
          ++p;
          continue;
        }
        break;
      }
    }
    dir->attrs.push_back(std::move(attr));
  }
}

}  // namespace web
