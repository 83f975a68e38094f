// Test helper: a fresh temporary directory removed with its contents at the end of the test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testing_support {

class CTempDir {
 public:
  CTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qvtest.XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path_ = made != nullptr ? made : "";
  }
  ~CTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace testing_support
