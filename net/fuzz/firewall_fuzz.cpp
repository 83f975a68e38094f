// Fuzz target: the firewall file loader and the pattern test. The input's first line is a text,
// the rest a FIREWALL.CFG. Every list entry is trimmed and non-empty, "*" matches any text, a
// pattern without stars matches its own text, and every pattern test terminates on any input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/firewall.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  std::string text = input.substr(0, nl);
  std::string file = nl == std::string::npos ? std::string() : input.substr(nl + 1);
  net::FirewallLists lists;
  (void)net::ParseFirewallText(file, &lists);
  for (const auto& list : lists.lists) {
    for (const std::string& pattern : list) {
      if (pattern.empty() || pattern.front() == ' ' || pattern.back() == ' ' ||
          pattern.find('\n') != std::string::npos) {
        __builtin_trap();
      }
      (void)net::MatchPattern(text, pattern);
    }
    (void)net::MatchList(text, list);
  }
  if (!net::MatchPattern(text, "*")) __builtin_trap();
  std::string plain = text.substr(0, net::kMaxPattern);
  if (!plain.empty() && plain.find('*') == std::string::npos && !net::MatchPattern(plain, plain)) {
    __builtin_trap();
  }
  return 0;
}
