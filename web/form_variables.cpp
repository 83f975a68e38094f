#include "web/form_variables.h"

#include "platform/text.h"

namespace web {

void CFormVariables::Set(std::string_view name, std::string_view value) { Put(name, value, false); }

void CFormVariables::SetUpload(std::string_view name, std::string_view value) {
  Put(name, value, true);
}

void CFormVariables::Put(std::string_view name, std::string_view value, bool upload) {
  auto [it, added] = index_.emplace(platform::ToLower(name), items_.size());
  if (!added) {
    items_[it->second].second.assign(value);
    uploads_[it->second] = upload;
    return;
  }
  items_.emplace_back(std::string(name), std::string(value));
  uploads_.push_back(upload);
}

const std::string* CFormVariables::Find(std::string_view name) const {
  auto it = index_.find(platform::ToLower(name));
  return it == index_.end() ? nullptr : &items_[it->second].second;
}

std::string CFormVariables::Get(std::string_view name) const {
  const std::string* value = Find(name);
  return value != nullptr ? *value : std::string();
}

}  // namespace web
