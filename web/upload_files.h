// CUploadFiles: the upload files of one request, "F%07ld.TMP" in the extension's private
// temporary directory, numbered by that directory's sequence file.
//
// Each file is created exclusively (never over an existing name or through a symbolic link) with
// mode 0600; a name that is taken is skipped for the next number. Writes are gathered in a 64 KB
// buffer. Discard removes every file this object made (the request failed); otherwise the files
// stay for the page code. Not thread-safe: one object per request.
#pragma once

#include <string>
#include <vector>

#include "platform/file.h"
#include "web/multipart_reader.h"

namespace web {

class CUploadFiles : public IUploadSink {
 public:
  explicit CUploadFiles(std::string directory) : directory_(std::move(directory)) {}
  ~CUploadFiles() override = default;

  int Open(std::string* path) override;
  int Write(std::string_view data) override;
  int Close() override;
  void Discard() override;
  const std::vector<std::string>& Made() const { return made_; }

 private:
  int Flush();

  std::string directory_;
  platform::CFile file_;
  std::string pending_;
  std::vector<std::string> made_;
};

}  // namespace web
