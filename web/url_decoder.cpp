#include "web/url_decoder.h"

#include "toolkit/encodings.h"
#include "web/web_results.h"

namespace web {

std::string UrlDecodeValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && toolkit::HexDigitValue(text[i + 1]) >= 0 &&
               toolkit::HexDigitValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(toolkit::HexDigitValue(text[i + 1]) * 16 +
                                      toolkit::HexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void DecodeUrlEncoded(std::string_view text, CFormVariables* vars) {
  size_t pos = 0;  // the cursor belongs to this call
  while (pos <= text.size()) {
    size_t end = text.find('&', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    size_t eq = item.find('=');
    std::string_view name = item.substr(0, eq);
    std::string_view value =
        eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
    if (name.size() > kFormNameMax) name = name.substr(0, kFormNameMax);
    vars->Set(name, UrlDecodeValue(value));
  }
}

}  // namespace web
