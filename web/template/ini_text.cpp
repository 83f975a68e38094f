#include "web/template/ini_text.h"

namespace web {

std::string EncodeIniLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\x80\x80";
      ++i;
    } else if (c == '\r') {
      out += '\x81';
    } else if (c == '\n') {
      out += '\x82';
    } else {
      out += c;
    }
  }
  return out;
}

std::string DecodeIniLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0x80 || c == 0x01) {
      out += "\r\n";
      if (i + 1 < text.size()) ++i;  // the stored pair's second byte stands for the LF
    } else if (c == 0x81 || c == 0x02) {
      out += '\r';
    } else if (c == 0x82 || c == 0x03) {
      out += '\n';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace web
