// Test helper: a BinHex 4.0 text (RFC 1741) of a file, as a Macintosh mailer writes it: header,
// data and resource fork with their CRCs, run-length coded and written 64 characters a line
// after the marker line.
#pragma once

#include <cstdint>
#include <string>

#include "toolkit/encodings.h"

namespace toolkit {

inline std::string BinHexEncode(const BinHexFile& f) {
  std::string raw;
  auto u32 = [&](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) raw += static_cast<char>((v >> s) & 0xFF);
  };
  auto crc = [&](size_t from) {
    uint16_t c = BinHexCrc(std::string_view(raw).substr(from), 0);
    raw += static_cast<char>(c >> 8);
    raw += static_cast<char>(c & 0xFF);
  };
  raw += static_cast<char>(f.name.size());
  raw += f.name;
  raw += '\0';
  raw += f.type + f.creator;
  raw += static_cast<char>(f.flags >> 8);
  raw += static_cast<char>(f.flags & 0xFF);
  u32(static_cast<uint32_t>(f.data.size()));
  u32(static_cast<uint32_t>(f.resource.size()));
  crc(0);
  size_t at = raw.size();
  raw += f.data;
  crc(at);
  at = raw.size();
  raw += f.resource;
  crc(at);
  std::string rle;
  for (size_t i = 0; i < raw.size();) {
    unsigned char c = static_cast<unsigned char>(raw[i]);
    size_t run = 1;
    while (i + run < raw.size() && raw[i + run] == raw[i] && run < 255) ++run;
    rle += static_cast<char>(c);
    if (c == 0x90) rle += '\0';
    if (run >= 3 && c != 0x90) {
      rle += static_cast<char>(0x90);
      rle += static_cast<char>(run);
      i += run;
    } else {
      i += 1;
    }
  }
  static const char kAlphabet[] =
      "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
  std::string out = "(This file must be converted with BinHex 4.0)\r\n:";
  uint32_t acc = 0;
  int bits = 0, column = 1;
  for (unsigned char c : rle) {
    acc = (acc << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(acc >> bits) & 63];
      if (++column == 64) {
        out += "\r\n";
        column = 0;
      }
    }
  }
  if (bits > 0) out += kAlphabet[(acc << (6 - bits)) & 63];
  return out + ":\r\n";
}

}  // namespace toolkit
