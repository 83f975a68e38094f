// Attachment file names as real mail programs write them, made readable and safe.
//
// A name may come as RFC 2047 encoded words ("=?UTF-8?B?...?=", also inside a quoted string,
// where RFC 2047 does not allow them but mail programs put them), as an RFC 2231 value with a
// character set ("filename*=UTF-8''%E2%82%AC.txt", joined by the parser), or as raw bytes. Each
// becomes UTF-8: a known character set is converted (bytes it cannot read become U+FFFD), raw
// bytes are kept when they are UTF-8 and read as ISO-8859-1 otherwise.
//
// A name that becomes a file name on disk goes through SafeFileName first: what it gives is one
// plain name, never a path.
//
// Free functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace toolkit {

// `bytes` in character set `charset` (any name the system's converter knows; case ignored) as
// UTF-8. An unknown or empty character set: UTF-8 kept, other bytes read as ISO-8859-1.
std::string ToUtf8(std::string_view bytes, std::string_view charset);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsUtf8(std::string_view text);

// Decodes the RFC 2047 encoded words of `text` ("B" and "Q", any character set; the blanks
// between two adjacent words dropped, so a character split between two words is whole again)
// and gives the whole as UTF-8; text outside the words as ToUtf8 with no character set. A word
// that is not well-formed stays as written.
std::string DecodeWordsToUtf8(std::string_view text);

// A parameter value as the name of a file: encoded words decoded, UTF-8 (see above), cut to
// `limit` bytes at a character's start.
std::string DecodeFileName(std::string_view value, size_t limit = 511);

// The name under which an attachment called `name` (UTF-8) may be written into a directory:
// "/" and "\" become "_"; control characters (C0, DEL, C1), the direction marks and overrides
// that can make a name read as another, and bytes that are not UTF-8 are dropped; a run of dots
// becomes one dot; dots and blanks at either end are cut; at most 255 bytes (the extension kept
// when there is a short one). A name that is empty after that is "attachment".
std::string SafeFileName(std::string_view name);

}  // namespace toolkit
