// Line breaks inside INI values (shared with the server's account files and command lines): CR LF
// is stored as the two bytes 0x80 0x80, a lone CR as 0x81, a lone LF as 0x82. On reading, 0x80
// (and 0x01) becomes CR LF, the byte after it being taken as the LF; 0x81 (and 0x02) becomes CR,
// 0x82 (and 0x03) becomes LF. Thread-safe; no state.
#pragma once

#include <string>
#include <string_view>

namespace web {

std::string EncodeIniLineBreaks(std::string_view text);
std::string DecodeIniLineBreaks(std::string_view text);

}  // namespace web
