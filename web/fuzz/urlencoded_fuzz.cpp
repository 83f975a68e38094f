// Fuzz target: the URL-encoded decoder. Every name is at most kFormNameMax bytes and holds no
// "&" or "="; no two names are equal without case; a value never holds "&" or "+" that the text
// did not encode; escaping for HTML leaves no markup byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/text.h"
#include "web/template/variable_table.h"
#include "web/url_decoder.h"
#include "web/web_results.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  web::CFormVariables vars;
  web::DecodeUrlEncoded(text, &vars);
  for (size_t i = 0; i < vars.Count(); ++i) {
    const std::string& name = vars.NameAt(i);
    if (name.size() > web::kFormNameMax) __builtin_trap();
    if (name.find_first_of("&=") != std::string::npos) __builtin_trap();
    for (size_t j = i + 1; j < vars.Count(); ++j) {
      if (platform::EqualNoCase(name, vars.NameAt(j))) __builtin_trap();
    }
    if (vars.ValueAt(i).size() > text.size()) __builtin_trap();
    if (vars.ValueAt(i).find('+') != std::string::npos && text.find("%2") == std::string::npos &&
        text.find("%2") == std::string::npos) {
      __builtin_trap();  // a "+" survives only as %2B
    }
  }
  std::string escaped = web::EscapeRequestText(text);
  if (escaped.find_first_of("<>\"'") != std::string::npos) __builtin_trap();
  if (escaped.find('\0') != std::string::npos) __builtin_trap();
  return 0;
}
