// Link menus: a block of a page file that starts with the line beginning
// "<!--ISW MENU NAME="<menu>"" and ends with the next line that begins with the same text. The
// opening line's attributes give the menu's form: SORT ["A"], BY ["T"], FMT, STY [""].
// RewriteLinkMenu adds or removes one entry in the page's text, without I/O. Thread-safe.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace web {

constexpr size_t kMaxMenuKey = 63;
constexpr char kDefaultMenuFormat[] = "<BR><A HREF=\"(*_url*)\">(*_txt*)</A>. (*_rem*)";

struct LinkChange {
  std::string menu;
  bool remove = false;
  std::string removeText;  // the text a line must contain to be removed (never empty)
};

// The key of an entry line: its link text (BY "T") or its HREF target, cut at 63 characters.
std::string MenuEntryKey(std::string_view line, bool byText);

// Fills the entry format of the menu (given by its opening line's FMT or STY) into a line with
// `expand`, and places it. 0 done, -1 the menu is not in the page.
int RewriteLinkMenu(std::string_view page, const LinkChange& change,
                    const std::function<std::string(const std::string& format)>& expand,
                    std::string* out);

}  // namespace web
