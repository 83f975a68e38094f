#include "web/command_params.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "platform/text.h"
#include "web/url_decoder.h"
#include "web/web_results.h"

namespace web {
namespace {

constexpr char kCommandVariable[] = "MfcISAPICommand";

// Strict decimal: optional sign, at least one digit, nothing after, within the range of long.
bool ParseInteger(const std::string& text, long* out) {
  if (text.empty()) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
  }
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  *out = value;
  return true;
}

}  // namespace

void CCommandParams::Add(std::string name, std::string text, long number) {
  names_.push_back(std::move(name));
  texts_.push_back(std::move(text));
  ints_.push_back(number);
}

long CCommandParams::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (platform::EqualNoCase(names_[i], name)) return static_cast<long>(i);
  }
  return -1;
}

bool CCommandParams::Has(std::string_view name) const { return IndexOf(name) >= 0; }

std::string CCommandParams::Raw(std::string_view name) const {
  long i = IndexOf(name);
  return i < 0 ? std::string() : texts_[i];
}

std::string CCommandParams::Text(std::string_view name) const {
  std::string value = Raw(name);
  return value == kAbsentMarker ? std::string() : value;
}

long CCommandParams::Int(std::string_view name) const {
  long i = IndexOf(name);
  return i < 0 ? 0 : ints_[i];
}

void SplitCommand(std::string_view query, std::string* command, std::string_view* rest) {
  std::string_view text = query;
  size_t eq = sizeof(kCommandVariable) - 1;
  if (platform::StartsWithNoCase(text, kCommandVariable) && text.size() > eq && text[eq] == '=') {
    text.remove_prefix(eq + 1);
  }
  size_t end = text.find_first_of("&?");
  *command = UrlDecodeValue(text.substr(0, end));
  *rest = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
}

int BindParameters(const ParamSpec* params, size_t count, std::string_view list,
                   CCommandParams* out) {
  std::vector<std::optional<std::string>> values(count);
  size_t nextPosition = 0;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find('&', pos);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      // A bare value fills the next parameter not yet given, in declaration order.
      while (nextPosition < count && values[nextPosition].has_value()) ++nextPosition;
      if (nextPosition >= count) return kWebParamCount;
      values[nextPosition++] = UrlDecodeValue(item);
      continue;
    }
    std::string name = UrlDecodeValue(item.substr(0, eq));
    size_t k = 0;
    while (k < count && !platform::EqualNoCase(params[k].name, name)) ++k;
    if (k == count) return kWebParamFormat;
    values[k] = UrlDecodeValue(item.substr(eq + 1));
  }
  for (size_t k = 0; k < count; ++k) {
    const ParamSpec& param = params[k];
    if (!values[k].has_value()) {
      if (param.def == nullptr) return kWebMissingParam;
      // A default holding a quote is a fault of the table, refused like a bad request.
      if (std::string_view(param.def).find('\'') != std::string_view::npos) return kWebParamFormat;
      values[k] = param.def;
    }
    long number = 0;
    if (param.kind == ParamKind::kInt && !ParseInteger(*values[k], &number)) return kWebParamFormat;
    out->Add(param.name, std::move(*values[k]), number);
  }
  return kWebOk;
}

}  // namespace web
