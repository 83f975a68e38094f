// CFormVariables: the (name, value) pairs of one submitted form, in the order first seen.
//
// Names are compared without regard to case; setting a present name replaces its value in place,
// a new name is appended. Values are byte strings and may hold NUL bytes (a file field's value is
// "<path>\0<original name>\0"). Whether a value is a file field's is recorded with it: a text
// field may hold the same bytes, and its "path" must never be taken for an upload file. One object
// per request; not shared between threads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace web {

class CFormVariables {
 public:
  CFormVariables() { items_.reserve(20); }

  void Set(std::string_view name, std::string_view value);
  // A file field: `value` is "<upload path>\0<original name>\0".
  void SetUpload(std::string_view name, std::string_view value);
  // The value of `name`, or nullptr.
  const std::string* Find(std::string_view name) const;
  // The value of `name`, or "" when absent.
  std::string Get(std::string_view name) const;

  size_t Count() const { return items_.size(); }
  const std::string& NameAt(size_t i) const { return items_[i].first; }
  const std::string& ValueAt(size_t i) const { return items_[i].second; }
  bool IsUploadAt(size_t i) const { return uploads_[i]; }

 private:
  void Put(std::string_view name, std::string_view value, bool upload);

  std::vector<std::pair<std::string, std::string>> items_;
  std::vector<bool> uploads_;  // per item: set by SetUpload
  // Lower-case name -> item: a body of many thousand fields is decoded in linear time.
  std::unordered_map<std::string, size_t> index_;
};

}  // namespace web
