// Decoding of application/x-www-form-urlencoded text (the HTML form encoding, RFC 1866 8.2.1).
//
// DecodeUrlEncoded splits the text at "&"; in each item the name is the text before the first
// "=", kept verbatim (not decoded) and cut to kFormNameMax characters, and the value is the rest
// of the item with "+" turned into a blank and "%" plus two hex digits into that byte. An item
// without "=" is a name with an empty value; an empty item is skipped. Each pair is Set in the
// table, so a repeated name keeps its last value. The position is kept per call: the decoder is
// safe to run on many threads at once. No I/O.
#pragma once

#include <string>
#include <string_view>

#include "web/form_variables.h"

namespace web {

// "+" to blank, "%XX" to the byte; a "%" not followed by two hex digits stays as it is.
std::string UrlDecodeValue(std::string_view text);

void DecodeUrlEncoded(std::string_view text, CFormVariables* vars);

}  // namespace web
