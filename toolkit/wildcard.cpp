#include "toolkit/wildcard.h"

#include <algorithm>
#include <cctype>

namespace toolkit {
namespace {

bool Same(char a, char b, bool caseSensitive) {
  if (caseSensitive) return a == b;
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

bool Equal(std::string_view a, std::string_view b, bool caseSensitive) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char x, char y) { return Same(x, y, caseSensitive); });
}

}  // namespace

int WildcardMatch(std::string_view text, std::string_view pattern, bool caseSensitive) {
  if (pattern == "*") return 1;
  bool lead = !pattern.empty() && pattern.front() == '*';
  bool trail = !pattern.empty() && pattern.back() == '*';
  if (lead && trail) {
    std::string_view x = pattern.substr(1, pattern.size() - 2);
    return text.find(x) != std::string_view::npos ? 1 : 0;
  }
  if (trail) {
    std::string_view x = pattern.substr(0, pattern.size() - 1);
    return text.size() >= x.size() && Equal(text.substr(0, x.size()), x, caseSensitive) ? 1 : 0;
  }
  if (lead) {
    std::string_view x = pattern.substr(1);
    return text.size() > x.size() && Equal(text.substr(text.size() - x.size()), x, caseSensitive)
               ? 1
               : 0;
  }
  return Equal(text, pattern, caseSensitive) ? 1 : 0;
}

}  // namespace toolkit
