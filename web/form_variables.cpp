#include "web/form_variables.h"

#include "platform/text.h"

namespace web {

void CFormVariables::Set(std::string_view name, std::string_view value) {
  for (auto& item : items_) {
    if (platform::EqualNoCase(item.first, name)) {
      item.second.assign(value);
      return;
    }
  }
  // Grown in steps of 20, as the table of a form is small.
  if (items_.size() == items_.capacity()) items_.reserve(items_.size() + 20);
  items_.emplace_back(std::string(name), std::string(value));
}

const std::string* CFormVariables::Find(std::string_view name) const {
  for (const auto& item : items_) {
    if (platform::EqualNoCase(item.first, name)) return &item.second;
  }
  return nullptr;
}

std::string CFormVariables::Get(std::string_view name) const {
  const std::string* value = Find(name);
  return value != nullptr ? *value : std::string();
}

}  // namespace web
