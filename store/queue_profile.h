// The envelope files' own INI routines (not the settings files' profile functions): they keep
// the envelope format exactly as every reader and writer of the queues expects.
//
// Get finds "[section]" without case; inside it, the first line whose text after leading blanks
// begins with the key (without case) followed by "=" or a blank. Lines are at most 256
// characters. Set rewrites the file through "<name>.in2" and a rename; an empty value removes
// the key. Thread-safe (no state); callers serialise writers of one file.
#pragma once

#include <string>
#include <string_view>

namespace store {

constexpr size_t kProfileLineMax = 256;

// Copies the value (or `def`) into `*value`, cut to size-1 characters. Returns the length, or -1
// when the value was cut.
int QueueProfileGet(std::string_view section, std::string_view key, std::string_view def,
                    std::string* value, size_t size, const std::string& file);
// 0, or a line-file error code.
[[nodiscard]] int QueueProfileSet(std::string_view section, std::string_view key,
                                  std::string_view value, const std::string& file);

}  // namespace store
