#include "web/upload_files.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/path.h"
#include "store/queue_files.h"

namespace web {
namespace {

constexpr size_t kWriteBuffer = 64 * 1024;
constexpr int kNameTries = 20;  // taken names skipped before the part is marked failed

}  // namespace

int CUploadFiles::Open(std::string* path) {
  path->clear();
  if (directory_.empty()) return -1;
  for (int i = 0; i < kNameTries; ++i) {
    long number = store::NextSequenceNumber(directory_);
    if (number < 0) return -1;
    char name[32];
    std::snprintf(name, sizeof name, "F%07ld.TMP", number);
    std::string candidate = platform::JoinPath(directory_, name);
    if (file_.Open(candidate, platform::FileMode::kCreateNew) == 0) {
      made_.push_back(candidate);
      *path = candidate;
      pending_.clear();
      return 0;
    }
    *path = candidate;  // a failed part still names the file it was meant for
  }
  return -1;
}

int CUploadFiles::Flush() {
  if (pending_.empty()) return 0;
  int rc = file_.Write(pending_);
  pending_.clear();
  return rc;
}

int CUploadFiles::Write(std::string_view data) {
  if (!file_.IsOpen()) return -1;
  if (pending_.size() + data.size() > kWriteBuffer && Flush() != 0) return -1;
  if (data.size() >= kWriteBuffer) return file_.Write(data);
  pending_.append(data);
  return 0;
}

int CUploadFiles::Close() {
  if (!file_.IsOpen()) return 0;
  int rc = Flush();
  file_.Close();
  return rc;
}

void CUploadFiles::Discard() {
  pending_.clear();
  file_.Close();
  for (const std::string& path : made_) platform::RemoveFile(path);
  made_.clear();
}

}  // namespace web
