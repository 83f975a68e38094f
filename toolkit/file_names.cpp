#include "toolkit/file_names.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "toolkit/encodings.h"

namespace toolkit {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

void PutCodePoint(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The UTF-8 sequence at `text[i]`: its length and code point, or length 0 when it is not
// well-formed.
size_t NextCodePoint(std::string_view text, size_t i, uint32_t* cp) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n;
  uint32_t v, min;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, v = c & 0x1Fu, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, v = c & 0x0Fu, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, v = c & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    unsigned char t = static_cast<unsigned char>(text[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    v = (v << 6) | (t & 0x3Fu);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

// UTF-8 kept, every byte outside a well-formed sequence replaced by U+FFFD.
std::string RepairedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t n = NextCodePoint(text, i, &cp);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) PutCodePoint(c, &out);
  return out;
}

// The system's converter, closed when it goes.
class CConverter {
 public:
  explicit CConverter(const std::string& from) : cd_(::iconv_open("UTF-8", from.c_str())) {}
  ~CConverter() {
    if (Ok()) ::iconv_close(cd_);
  }
  CConverter(const CConverter&) = delete;
  CConverter& operator=(const CConverter&) = delete;
  bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`; a byte that cannot be read becomes U+FFFD and is skipped.
  std::string Convert(std::string_view in) {
    std::string out;
    std::vector<char> input(in.begin(), in.end());
    char* src = input.data();
    size_t left = input.size();
    char buf[1024];
    while (left > 0) {
      char* dst = buf;
      size_t room = sizeof buf;
      size_t rc = ::iconv(cd_, &src, &left, &dst, &room);
      out.append(buf, static_cast<size_t>(dst - buf));
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
        out += kReplacement;  // EILSEQ or EINVAL (cut at the end): one byte given up
        ++src;
        --left;
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    char* dst = buf;
    size_t room = sizeof buf;
    ::iconv(cd_, nullptr, nullptr, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    return out;
  }

 private:
  iconv_t cd_;
};

// The bytes of an encoded word's text; false when it is not well-formed.
bool DecodeWordText(char encoding, std::string_view text, std::string* out) {
  if (encoding == 'Q' || encoding == 'q') {
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '_') {
        *out += ' ';
      } else if (text[i] == '=') {
        int hi = i + 1 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? HexDigitValue(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
      } else {
        *out += text[i];
      }
    }
    return true;
  }
  if (encoding != 'B' && encoding != 'b') return false;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = Base64DigitValue(c);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return true;
}

// One piece of a header value: raw text, or the bytes of encoded words in one character set.
struct Segment {
  bool encoded;
  std::string charset;
  std::string bytes;
};

}  // namespace

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t n = NextCodePoint(text, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string ToUtf8(std::string_view bytes, std::string_view charsetIn) {
  // RFC 2231 5: a language may follow the character set after "*".
  std::string charset = Lower(charsetIn.substr(0, charsetIn.find('*')));
  if (charset.empty()) return IsUtf8(bytes) ? std::string(bytes) : Latin1ToUtf8(bytes);
  if (charset == "utf-8" || charset == "utf8") return RepairedUtf8(bytes);
  if (charset == "iso-8859-1" || charset == "latin1" || charset == "latin-1") {
    return Latin1ToUtf8(bytes);
  }
  CConverter converter(charset);
  if (!converter.Ok()) return IsUtf8(bytes) ? std::string(bytes) : Latin1ToUtf8(bytes);
  return converter.Convert(bytes);
}

std::string DecodeWordsToUtf8(std::string_view text) {
  std::vector<Segment> segments;
  auto raw = [&](std::string_view t) {
    if (t.empty()) return;
    if (segments.empty() || segments.back().encoded) segments.push_back({false, {}, {}});
    segments.back().bytes.append(t);
  };
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = text.find("=?", pos);
    if (start == std::string_view::npos) break;
    // =?charset?E?text?= with no blanks inside (RFC 2047 2).
    size_t q1 = text.find('?', start + 2);
    size_t q2 = q1 == std::string_view::npos ? q1 : text.find('?', q1 + 1);
    size_t end = q2 == std::string_view::npos ? q2 : text.find("?=", q2 + 1);
    std::string bytes;
    bool ok = end != std::string_view::npos && q2 == q1 + 2 && q1 > start + 2;
    if (ok) {
      std::string_view word = text.substr(start, end + 2 - start);
      ok = word.find_first_of(" \t\r\n") == std::string_view::npos &&
           DecodeWordText(text[q1 + 1], text.substr(q2 + 1, end - q2 - 1), &bytes);
    }
    if (!ok) {
      raw(text.substr(pos, start + 2 - pos));
      pos = start + 2;
      continue;
    }
    std::string_view between = text.substr(pos, start - pos);
    // Blanks between two encoded words are dropped (RFC 2047 6.2).
    bool onlyBlanks = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (!(onlyBlanks && !segments.empty() && segments.back().encoded)) raw(between);
    std::string charset = Lower(text.substr(start + 2, q1 - start - 2));
    if (!segments.empty() && segments.back().encoded && segments.back().charset == charset) {
      segments.back().bytes += bytes;  // a character may be split between two words
    } else {
      segments.push_back({true, charset, std::move(bytes)});
    }
    pos = end + 2;
  }
  raw(text.substr(std::min(pos, text.size())));
  std::string out;
  for (const Segment& s : segments) out += ToUtf8(s.bytes, s.encoded ? s.charset : std::string());
  return out;
}

namespace {

// `text` cut to at most `limit` bytes, never inside a UTF-8 sequence.
std::string CutUtf8(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}

bool Hidden(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
}

}  // namespace

std::string DecodeFileName(std::string_view value, size_t limit) {
  return CutUtf8(DecodeWordsToUtf8(value), limit);
}

std::string SafeFileName(std::string_view name) {
  std::string clean;
  for (size_t i = 0; i < name.size();) {
    uint32_t cp;
    size_t n = NextCodePoint(name, i, &cp);
    if (n == 0) {
      ++i;  // not UTF-8: dropped
      continue;
    }
    if (cp == '/' || cp == '\\') {
      clean += '_';
    } else if (cp == '.' && !clean.empty() && clean.back() == '.') {
      // ".." never stays: a run of dots is one dot
    } else if (!Hidden(cp)) {
      clean.append(name.substr(i, n));
    }
    i += n;
  }
  size_t a = clean.find_first_not_of(". ");
  size_t b = clean.find_last_not_of(". ");
  clean = a == std::string::npos ? std::string() : clean.substr(a, b - a + 1);
  constexpr size_t kMax = 255;  // the longest name of a file on common file systems
  if (clean.size() > kMax) {
    size_t dot = clean.rfind('.');
    std::string ext = dot != std::string::npos && clean.size() - dot <= 16 ? clean.substr(dot) : "";
    std::string stem = CutUtf8(clean.substr(0, clean.size() - ext.size()), kMax - ext.size());
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
    clean = stem.empty() ? CutUtf8(clean, kMax) : stem + ext;
  }
  return clean.empty() ? std::string("attachment") : clean;
}

}  // namespace toolkit
