// WildcardMatch: the pattern test of addresses and aliases.
//
//   "*x*"  the text contains x (always case-sensitive)
//   "x*"   the text begins with x
//   "*x"   the text ends with x and is longer than x
//   "x"    the text equals x
// The last three compare without case unless `caseSensitive`. A "*" inside the pattern and "?"
// are ordinary characters. A lone "*" matches every text.
#pragma once

#include <string_view>

namespace toolkit {

// 1 match, 0 no match.
int WildcardMatch(std::string_view text, std::string_view pattern, bool caseSensitive = false);

}  // namespace toolkit
