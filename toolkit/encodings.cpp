#include "toolkit/encodings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace toolkit {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> MakeBase64Table() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr std::array<int8_t, 256> kBase64 = MakeBase64Table();

const char kHex[] = "0123456789ABCDEF";

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int Base64DigitValue(char c) { return kBase64[static_cast<unsigned char>(c)]; }

// Base64 ---------------------------------------------------------------------------------------

std::string EncodeBase64Lines(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 56) / 57 * 78);
  for (size_t line = 0; line < data.size(); line += 57) {
    size_t end = std::min(line + 57, data.size());
    for (size_t i = line; i < end; i += 3) {
      size_t n = std::min<size_t>(3, end - i);
      uint32_t v = static_cast<unsigned char>(data[i]) << 16;
      if (n > 1) v |= static_cast<unsigned char>(data[i + 1]) << 8;
      if (n > 2) v |= static_cast<unsigned char>(data[i + 2]);
      out += kAlphabet[(v >> 18) & 63];
      out += kAlphabet[(v >> 12) & 63];
      out += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
      out += n > 2 ? kAlphabet[v & 63] : '=';
    }
    out += "\r\n";
  }
  return out;
}

long CBase64Decoder::Decode(std::string_view chunk, std::string* out) {
  size_t before = out->size();
  out->resize(before + (chunk.size() / 4 + 1) * 3);
  char* dst = out->data() + before;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(chunk.data());
  const unsigned char* end = p + chunk.size();
  uint32_t acc = acc_;
  int count = count_;
  while (p < end) {
    // Fast path: four alphabet characters in a row make three bytes.
    if (count == 0 && !ended_) {
      while (end - p >= 4) {
        int a = kBase64[p[0]], b = kBase64[p[1]], c = kBase64[p[2]], d = kBase64[p[3]];
        if ((a | b | c | d) < 0) break;
        uint32_t v = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12 |
                     static_cast<uint32_t>(c) << 6 | static_cast<uint32_t>(d);
        dst[0] = static_cast<char>(v >> 16);
        dst[1] = static_cast<char>(v >> 8);
        dst[2] = static_cast<char>(v);
        dst += 3;
        p += 4;
      }
      if (p >= end) break;
    }
    unsigned char ch = *p++;
    if (ended_) continue;
    if (ch == '=' && count >= 2) {
      // Padding ends the data: the pending characters give one or two bytes.
      if (count == 2) {
        *dst++ = static_cast<char>(acc >> 4);
      } else {
        *dst++ = static_cast<char>(acc >> 10);
        *dst++ = static_cast<char>(acc >> 2);
      }
      count = 0;
      acc = 0;
      ended_ = true;
      continue;
    }
    // Characters outside the alphabet are ignored (RFC 2045 6.8): line ends, blanks, and what
    // a damaged text holds; so is a "=" that cannot end a group.
    int v = kBase64[ch];
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      dst[0] = static_cast<char>(acc >> 16);
      dst[1] = static_cast<char>(acc >> 8);
      dst[2] = static_cast<char>(acc);
      dst += 3;
      count = 0;
      acc = 0;
    }
  }
  acc_ = acc;
  count_ = count;
  out->resize(static_cast<size_t>(dst - out->data()));
  return static_cast<long>(out->size() - before);
}

long CBase64Decoder::Finish(std::string* out) {
  // A text cut short, or written without its "=" pads: two or three pending characters still
  // give one or two bytes, which are written; the text was malformed all the same.
  if (count_ == 2) *out += static_cast<char>(acc_ >> 4);
  if (count_ == 3) {
    *out += static_cast<char>(acc_ >> 10);
    *out += static_cast<char>(acc_ >> 2);
  }
  long rc = count_ == 0 ? 0 : kErrBadInput;
  count_ = 0;
  acc_ = 0;
  ended_ = false;
  return rc;
}

// Quoted-printable ------------------------------------------------------------------------------

void CQuotedPrintableEncoder::Put(std::string_view token, std::string* out) {
  if (column_ + static_cast<int>(token.size()) >= kMaxLine + 1) {
    *out += "=\r\n";
    column_ = 0;
  }
  *out += token;
  column_ += static_cast<int>(token.size());
}

void CQuotedPrintableEncoder::Encode(std::string_view chunk, std::string* out) {
  auto escaped = [](unsigned char c) {
    char t[4] = {'=', kHex[c >> 4], kHex[c & 15], 0};
    return std::string(t, 3);
  };
  for (size_t i = 0; i < chunk.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(chunk[i]);
    if (held_ != 0) {
      // The held blank is followed by a line end: it must be encoded (RFC 2045 6.7 rule 3).
      bool lineEnd = c == '\r' || c == '\n';
      Put(lineEnd ? escaped(static_cast<unsigned char>(held_)) : std::string(1, held_), out);
      held_ = 0;
    }
    if (c == '\r' || c == '\n') {
      *out += static_cast<char>(c);
      if (c == '\n') column_ = 0;
    } else if (c == ' ' || c == '\t') {
      if (i + 1 == chunk.size()) {
        held_ = static_cast<char>(c);
      } else {
        char next = chunk[i + 1];
        Put(next == '\r' || next == '\n' ? escaped(c) : std::string(1, static_cast<char>(c)), out);
      }
    } else if (c >= 33 && c <= 126 && c != '=') {
      Put(std::string(1, static_cast<char>(c)), out);
    } else {
      Put(escaped(c), out);
    }
  }
}

void CQuotedPrintableEncoder::Finish(std::string* out) {
  if (held_ != 0) {
    // A blank at the very end is a blank before the end of the text: encoded.
    char t[4] = {'=', kHex[static_cast<unsigned char>(held_) >> 4], kHex[held_ & 15], 0};
    Put(std::string(t, 3), out);
    held_ = 0;
  }
  column_ = 0;
}

std::string DecodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    bool hasEnd = nl != std::string_view::npos;
    std::string_view line = text.substr(pos, hasEnd ? nl - pos : std::string_view::npos);
    pos = hasEnd ? nl + 1 : text.size();
    bool crlf = !line.empty() && line.back() == '\r';
    if (crlf) line.remove_suffix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    bool soft = !line.empty() && line.back() == '=';
    if (soft) line.remove_suffix(1);
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '=' && i + 2 < line.size() && HexDigitValue(line[i + 1]) >= 0 &&
          HexDigitValue(line[i + 2]) >= 0) {
        out += static_cast<char>(HexDigitValue(line[i + 1]) * 16 + HexDigitValue(line[i + 2]));
        i += 2;
      } else {
        out += line[i];
      }
    }
    // A hard line break is the text's own line end, CR LF or LF: the decoded text is what the
    // sender encoded, byte for byte.
    if (hasEnd && !soft) out += crlf ? "\r\n" : "\n";
  }
  return out;
}

// Uuencode --------------------------------------------------------------------------------------

namespace {
char UuChar(unsigned v) { return v == 0 ? '`' : static_cast<char>((v & 63) + 32); }
unsigned UuValue(char c) { return (static_cast<unsigned char>(c) - 32) & 63; }
}  // namespace

std::string Uuencode(std::string_view data, unsigned mode, const std::string& name) {
  char head[600];
  std::snprintf(head, sizeof head, "begin %o %s\n", mode & 0777, name.c_str());
  std::string out = head;
  for (size_t line = 0; line < data.size(); line += 45) {
    size_t n = std::min<size_t>(45, data.size() - line);
    out += UuChar(static_cast<unsigned>(n));
    for (size_t i = 0; i < n; i += 3) {
      unsigned char b0 = static_cast<unsigned char>(data[line + i]);
      unsigned char b1 = i + 1 < n ? static_cast<unsigned char>(data[line + i + 1]) : 0;
      unsigned char b2 = i + 2 < n ? static_cast<unsigned char>(data[line + i + 2]) : 0;
      out += UuChar(b0 >> 2);
      out += UuChar(((b0 << 4) | (b1 >> 4)) & 63);
      out += UuChar(((b1 << 2) | (b2 >> 6)) & 63);
      out += UuChar(b2 & 63);
    }
    out += '\n';
  }
  out += "`\nend\n";
  return out;
}

void CUudecoder::Line(std::string_view line, std::string* out) {
  if (!line.empty() && line.back() == '\r' && !cut_) line.remove_suffix(1);
  if (!begun_) {
    if (line.substr(0, 6) != "begin ") return;
    begun_ = true;
    std::string_view rest = line.substr(6);
    unsigned m = 0;
    size_t i = 0;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '7') {
      m = (m * 8 + static_cast<unsigned>(rest[i++] - '0')) & 07777;
    }
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
    name_ = i < rest.size() ? std::string(rest.substr(i)) : std::string("NONAME.");
    mode_ = m;
    return;
  }
  if (line == "end" && !cut_) {
    ended_ = true;
    return;
  }
  if (line.empty()) return;
  unsigned n = UuValue(line[0]);
  size_t avail = line.size() - 1;
  for (unsigned i = 0, g = 1; i < n; i += 3, g += 4) {
    auto at = [&](size_t k) { return k < avail + 1 ? UuValue(line[k]) : 0u; };
    unsigned a = at(g), b = at(g + 1), c = at(g + 2), d = at(g + 3);
    *out += static_cast<char>((a << 2) | (b >> 4));
    if (i + 1 < n) *out += static_cast<char>(((b & 15) << 4) | (c >> 2));
    if (i + 2 < n) *out += static_cast<char>(((c & 3) << 6) | d);
  }
}

void CUudecoder::Decode(std::string_view chunk, std::string* out) {
  while (!chunk.empty() && !ended_) {
    size_t nl = chunk.find('\n');
    std::string_view piece = chunk.substr(0, nl);
    chunk.remove_prefix(nl == std::string_view::npos ? chunk.size() : nl + 1);
    size_t room = kMaxLine - line_.size();
    if (piece.size() > room) cut_ = true;
    line_.append(piece.substr(0, room));
    if (nl == std::string_view::npos) break;
    Line(line_, out);
    line_.clear();
    cut_ = false;
  }
}

int CUudecoder::Finish(std::string* out) {
  if (!ended_ && !line_.empty()) Line(line_, out);
  line_.clear();
  cut_ = false;
  return ended_ ? 0 : kErrNoBegin;
}

int Uudecode(std::string_view text, std::string* data, std::string* name, unsigned* mode) {
  data->clear();
  CUudecoder decoder;
  decoder.Decode(text, data);
  int rc = decoder.Finish(data);
  if (decoder.Begun()) {
    *name = decoder.Name();
    if (mode) *mode = decoder.Mode();
  }
  return rc;
}

// Encoded words ---------------------------------------------------------------------------------

std::string DecodeEncodedWords(std::string_view text, size_t size) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lower = text.find("=?iso-8859-1?Q?", pos);
    size_t upper = text.find("=?ISO-8859-1?Q?", pos);
    size_t start = std::min(lower, upper);
    size_t end = start == std::string_view::npos ? start : text.find("?=", start + 15);
    if (start == std::string_view::npos || end == std::string_view::npos) {
      out.append(text.substr(pos));
      break;
    }
    out.append(text.substr(pos, start - pos));
    std::string_view word = text.substr(start + 15, end - start - 15);
    for (size_t i = 0; i < word.size(); ++i) {
      if (word[i] == '_') {
        out += ' ';
      } else if (word[i] == '=' && i + 2 < word.size() && HexDigitValue(word[i + 1]) >= 0 &&
                 HexDigitValue(word[i + 2]) >= 0) {
        out += static_cast<char>(HexDigitValue(word[i + 1]) * 16 + HexDigitValue(word[i + 2]));
        i += 2;
      } else {
        out += word[i];
      }
    }
    pos = end + 2;
  }
  if (size > 0 && out.size() > size - 1) out.resize(size - 1);
  return out;
}

// BinHex 4.0 ------------------------------------------------------------------------------------

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    t[i] = crc;
  }
  return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

inline uint16_t CrcByte(uint16_t crc, unsigned char b) {
  return static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
}

constexpr char kBinHexAlphabet[] =
    "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";

constexpr std::array<int8_t, 256> MakeBinHexTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i)
    t[static_cast<unsigned char>(kBinHexAlphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr std::array<int8_t, 256> kBinHexValue = MakeBinHexTable();

// The marker line's wording varies between writers ("... with BinHex 4.0)"); the data starts
// at the first line after it that begins with ":".
constexpr std::string_view kBinHexMarker = "(This file must be converted";

}  // namespace

uint16_t BinHexCrc(std::string_view bytes, uint16_t crc) {
  for (unsigned char b : bytes) crc = CrcByte(crc, b);
  return crc;
}

// Header: name length, name, version, type, creator, flags, data length, resource length, CRC.
// A CRC-16 run over a section followed by its stored CRC gives 0.
int CBinHexDecoder::Byte(unsigned char b, std::string* out) {
  switch (stage_) {
    case kHeader: {
      head_ += static_cast<char>(b);
      size_t headerLen = 1 + static_cast<unsigned char>(head_[0]) + 1 + 4 + 4 + 2 + 4 + 4;
      if (head_.size() < headerLen + 2) return 0;
      if (BinHexCrc(head_, 0) != 0) return kErrBadInput;
      auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(head_[at]) << 24 |
                                     static_cast<unsigned char>(head_[at + 1]) << 16 |
                                     static_cast<unsigned char>(head_[at + 2]) << 8 |
                                     static_cast<unsigned char>(head_[at + 3]));
      };
      size_t nameLen = static_cast<unsigned char>(head_[0]);
      size_t p = 1 + nameLen + 1;
      header_.name = head_.substr(1, nameLen);
      header_.type = head_.substr(p, 4);
      header_.creator = head_.substr(p + 4, 4);
      header_.flags = static_cast<uint16_t>(static_cast<unsigned char>(head_[p + 8]) << 8 |
                                            static_cast<unsigned char>(head_[p + 9]));
      left_ = u32(p + 10);
      resourceLength_ = u32(p + 14);
      head_.clear();
      crc_ = 0;
      stage_ = left_ == 0 ? kDataCrc : kData;
      if (stage_ == kDataCrc) left_ = 2;
      return 0;
    }
    case kData:
      crc_ = CrcByte(crc_, b);
      if (out != nullptr) *out += static_cast<char>(b);
      if (--left_ == 0) {
        stage_ = kDataCrc;
        left_ = 2;
      }
      return 0;
    case kDataCrc:
    case kResourceCrc:
      crc_ = CrcByte(crc_, b);
      if (--left_ != 0) return 0;
      if (crc_ != 0) return kErrBadInput;
      crc_ = 0;
      if (stage_ == kResourceCrc) {
        stage_ = kDone;
      } else {
        left_ = resourceLength_;
        stage_ = left_ == 0 ? kResourceCrc : kResource;
        if (stage_ == kResourceCrc) left_ = 2;
      }
      return 0;
    case kResource:
      crc_ = CrcByte(crc_, b);
      if (resource_ != nullptr) *resource_ += static_cast<char>(b);
      if (--left_ == 0) {
        stage_ = kResourceCrc;
        left_ = 2;
      }
      return 0;
    default:
      return 0;  // what follows the resource fork's CRC is ignored
  }
}

// Run-length expansion: 0x90 n repeats the previous byte n-1 more times; 0x90 0 is 0x90.
int CBinHexDecoder::Packed(unsigned char c, std::string* out) {
  if (repeat_) {
    repeat_ = false;
    if (c == 0) {
      last_ = 0x90;
      haveLast_ = true;
      return Byte(0x90, out);
    }
    if (!haveLast_) return kErrBadInput;
    for (unsigned k = 1; k < c && stage_ != kDone; ++k) {
      if (int rc = Byte(last_, out); rc != 0) return rc;
    }
    return 0;
  }
  if (c == 0x90) {
    repeat_ = true;
    return 0;
  }
  last_ = c;
  haveLast_ = true;
  return Byte(c, out);
}

int CBinHexDecoder::Decode(std::string_view chunk, std::string* out) {
  if (failed_) return kErrBadInput;
  size_t i = 0;
  if (stage_ == kMarker) {
    // The marker may be cut between two chunks: the text's last bytes wait in carry_ (fewer
    // than the marker's length, so a marker found with them ends inside this chunk).
    const size_t keep = kBinHexMarker.size() - 1;
    std::string joined = carry_ + std::string(chunk.substr(0, keep));
    size_t at = joined.find(kBinHexMarker);
    if (at != std::string::npos) {
      i = at + kBinHexMarker.size() - carry_.size();
    } else {
      at = chunk.find(kBinHexMarker);
      if (at == std::string_view::npos) {
        if (chunk.size() >= keep) {
          carry_.assign(chunk.substr(chunk.size() - keep));
        } else {
          carry_.append(chunk);
          if (carry_.size() > keep) carry_.erase(0, carry_.size() - keep);
        }
        return 0;
      }
      i = at + kBinHexMarker.size();
    }
    carry_.clear();
    stage_ = kColon;
    lineStart_ = false;
  }
  for (; i < chunk.size() && stage_ == kColon; ++i) {
    char c = chunk[i];
    if (c == '\n') {
      lineStart_ = true;
    } else {
      if (lineStart_ && c == ':') stage_ = kHeader;
      lineStart_ = false;
    }
  }
  // 6-bit characters up to the closing colon, line ends and blanks skipped.
  for (; i < chunk.size() && !closed_; ++i) {
    unsigned char c = static_cast<unsigned char>(chunk[i]);
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == ':') {
      closed_ = true;
      break;
    }
    int v = kBinHexValue[c];
    if (v < 0) {
      failed_ = true;
      return kErrBadInput;
    }
    acc_ = (acc_ << 6) | static_cast<uint32_t>(v);
    bits_ += 6;
    if (bits_ >= 8) {
      bits_ -= 8;
      if (Packed(static_cast<unsigned char>((acc_ >> bits_) & 0xFF), out) != 0) {
        failed_ = true;
        return kErrBadInput;
      }
    }
  }
  return 0;
}

int CBinHexDecoder::Finish() const {
  return !failed_ && closed_ && stage_ == kDone && !repeat_ ? 0 : kErrBadInput;
}

int DecodeBinHex(std::string_view text, BinHexFile* out) {
  CBinHexDecoder decoder;
  std::string data, resource;
  decoder.KeepResource(&resource);
  if (decoder.Decode(text, &data) != 0 || decoder.Finish() != 0) return kErrBadInput;
  *out = decoder.Header();
  out->data = std::move(data);
  out->resource = std::move(resource);
  return 0;
}

}  // namespace toolkit
