// Fuzz target: the template syntax. Any bytes, taken as template lines: every reference and
// directive scan stays inside the line and moves forward, attribute values are made of their
// pieces, and a scanned reference names only name characters.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/template/ini_text.h"
#include "web/template/link_menu.h"
#include "web/template/template_parser.h"

namespace {

web::Piece Resolve(const web::Reference& r) {
  web::Piece p;
  p.text = r.name;
  p.origin = r.indexed ? web::Origin::kRequest : web::Origin::kProgram;
  return p;
}

void ScanLine(std::string_view line) {
  for (size_t pos = line.find("(*"); pos != std::string_view::npos;
       pos = line.find("(*", pos + 1)) {
    web::Reference r;
    if (!web::ScanReference(line, pos, &r)) continue;
    if (r.end <= pos || r.end > line.size() || r.name.empty()) __builtin_trap();
    for (char c : r.name) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') __builtin_trap();
    }
  }
  for (size_t pos = line.find("<!--ISW "); pos != std::string_view::npos;
       pos = line.find("<!--ISW ", pos + 1)) {
    web::Directive d;
    size_t end = 0;
    if (!web::ParseDirective(line, pos, Resolve, &d, &end)) continue;
    if (end <= pos || end > line.size()) __builtin_trap();
    for (const web::Attribute& a : d.attrs) {
      if (a.name.empty()) __builtin_trap();
      size_t total = 0;
      for (const web::Piece& p : a.pieces) total += p.text.size();
      if (a.Value().size() != total) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    if (end - pos > web::kMaxLine) end = pos + web::kMaxLine;
    ScanLine(text.substr(pos, end - pos));
    pos = end;
  }
  // INI line breaks: what is encoded decodes back.
  if (web::DecodeIniLineBreaks(web::EncodeIniLineBreaks(text)) != text) {
    // Bytes 0x01..0x03 and 0x80..0x82 in the input are themselves markers; only text free of
    // them must come back unchanged.
    bool markers = false;
    for (unsigned char c : text)
      markers = markers || (c >= 1 && c <= 3) || (c >= 0x80 && c <= 0x82);
    if (!markers) __builtin_trap();
  }
  // Removing entries that contain nothing removable leaves a page that ends in a line end as it
  // was.
  web::LinkChange change;
  change.menu = "m";
  change.remove = true;
  std::string out;
  auto expand = [](const std::string& f) { return f; };
  if (web::RewriteLinkMenu(text, change, expand, &out) == 0 && !text.empty() &&
      text.back() == '\n' && out != text) {
    __builtin_trap();
  }
  return 0;
}
