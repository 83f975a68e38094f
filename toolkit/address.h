// SplitAddress: the address in a header or envelope text, split into local part and domain.
//
// After "<" (outside double quotes) when there is one, else the word that holds "@" (from the
// blank or tab before it). Blanks, tabs and "<" are skipped; the local part runs to "@", CR, LF,
// ">" or the end, the domain after "@" to CR, LF, ">" or the end; each at most 127 characters.
// Without "@" the domain is empty. Thread-safe.
#pragma once

#include <string>

namespace toolkit {

constexpr size_t kMaxAddressPart = 127;

struct SplitResult {
  std::string local;
  std::string domain;
};

SplitResult SplitAddress(const std::string& text);

// "local@domain", or the local part alone when the domain is empty.
std::string JoinAddress(const SplitResult& parts);

}  // namespace toolkit
