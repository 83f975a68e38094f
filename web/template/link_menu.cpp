#include "web/template/link_menu.h"

#include <cctype>
#include <vector>

#include "web/template/template_parser.h"
#include "web/template/variable_table.h"

namespace web {

namespace {

struct Line {
  std::string_view text;  // with its line end
};

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return lines;
}

size_t FindNoCase(std::string_view hay, std::string_view needle) {
  if (needle.size() > hay.size()) return std::string_view::npos;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    if (EqualNoCase(hay.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

std::string FixedFormat(const std::string& sty) {
  if (EqualNoCase(sty, "BR")) return kDefaultMenuFormat;
  if (EqualNoCase(sty, "LI")) return "<LI><A HREF=\"(*_url*)\">(*_txt*)</A>. (*_rem*)";
  if (EqualNoCase(sty, "TR")) {
    return "<TR VALIGN=top><TD><A HREF=\"(*_url*)\">(*_txt*)</A></TD><TD>(*_rem*)</TD></TR>";
  }
  if (EqualNoCase(sty, "TD")) return "<DT><A HREF=\"(*_url*)\">(*_txt*)</A></DT><DD>(*_rem*)</DD>";
  return std::string();
}

std::string LineEnd(std::string_view page) {
  return page.find("\r\n") != std::string_view::npos || page.empty() ? "\r\n" : "\n";
}

}  // namespace

std::string MenuEntryKey(std::string_view line, bool byText) {
  size_t href = FindNoCase(line, "HREF");
  if (href == std::string_view::npos) return std::string();
  size_t p = href + 4;
  while (p < line.size() && (line[p] == ' ' || line[p] == '=')) ++p;
  if (!byText) {
    size_t start = p;
    if (p < line.size() && (line[p] == '"' || line[p] == '\'')) {
      char q = line[p];
      start = p + 1;
      size_t e = line.find(q, start);
      return std::string(
                 line.substr(start, (e == std::string_view::npos ? line.size() : e) - start))
          .substr(0, kMaxMenuKey);
    }
    size_t e = p;
    while (e < line.size() && line[e] != ' ' && line[e] != '>') ++e;
    return std::string(line.substr(start, e - start)).substr(0, kMaxMenuKey);
  }
  size_t gt = line.find('>', p);
  if (gt == std::string_view::npos) return std::string();
  size_t lt = line.find('<', gt + 1);
  if (lt == std::string_view::npos) lt = line.size();
  return std::string(line.substr(gt + 1, lt - gt - 1)).substr(0, kMaxMenuKey);
}

int RewriteLinkMenu(std::string_view page, const LinkChange& change,
                    const std::function<std::string(const std::string& format)>& expand,
                    std::string* out) {
  const std::string opening = "<!--ISW MENU NAME=\"" + change.menu + "\"";
  std::vector<std::string_view> lines = SplitLines(page);
  size_t open = lines.size(), close = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].substr(0, opening.size()) == opening) {
      if (open == lines.size()) {
        open = i;
      } else {
        close = i;
        break;
      }
    }
  }
  if (open == lines.size()) return -1;
  std::string eol = LineEnd(page);

  // The block's form, from the attributes of its opening line.
  Directive menu;
  size_t end = 0;
  ReferenceResolver literal = [](const Reference& r) {
    Piece p;
    p.text = "(*" + r.name + "*)";
    return p;
  };
  std::string openLine(lines[open]);
  while (!openLine.empty() && (openLine.back() == '\n' || openLine.back() == '\r')) {
    openLine.pop_back();
  }
  if (openLine.find("-->") == std::string::npos) openLine += " -->";
  std::string sort = "A", by = "T", fmt = kDefaultMenuFormat, sty;
  if (ParseDirective(openLine, 0, literal, &menu, &end)) {
    if (const Attribute* a = menu.Find("SORT")) sort = a->Value();
    if (const Attribute* a = menu.Find("BY")) by = a->Value();
    if (const Attribute* a = menu.Find("FMT")) fmt = a->Value();
    if (const Attribute* a = menu.Find("STY")) sty = a->Value();
  }
  char order =
      sort.empty() ? 'A' : static_cast<char>(std::toupper(static_cast<unsigned char>(sort[0])));
  bool byText = EqualNoCase(by, "T");

  std::vector<std::string> entries;
  for (size_t i = open + 1; i < close; ++i) entries.emplace_back(lines[i]);
  if (change.remove) {
    if (!change.removeText.empty()) {
      std::erase_if(entries, [&](const std::string& l) {
        return l.find(change.removeText) != std::string::npos;
      });
    }
  } else {
    std::string fixed = FixedFormat(sty);
    std::string entry = expand(fixed.empty() ? fmt : fixed) + eol;
    std::string key = MenuEntryKey(entry, byText);
    if (order == 'A' || order == 'D') {
      std::erase_if(entries, [&](const std::string& l) { return MenuEntryKey(l, byText) == key; });
    }
    size_t at = entries.size();  // by default: last, before the closing line
    if (order == 'A') {
      for (size_t i = 0; i < entries.size(); ++i) {
        if (MenuEntryKey(entries[i], byText) > key) {
          at = i;
          break;
        }
      }
    } else if (order == 'D') {
      for (size_t i = 0; i < entries.size(); ++i) {
        // Before the first smaller key, so the block stays in descending order.
        if (MenuEntryKey(entries[i], byText) < key) {
          at = i;
          break;
        }
      }
    } else if (order == 'F') {
      at = 0;
    }
    entries.insert(entries.begin() + static_cast<long>(at), entry);
  }

  out->clear();
  for (size_t i = 0; i <= open; ++i) out->append(lines[i]);
  if (!out->empty() && out->back() != '\n') out->append(eol);
  for (const std::string& e : entries) out->append(e);
  for (size_t i = close; i < lines.size(); ++i) out->append(lines[i]);
  return 0;
}

}  // namespace web
