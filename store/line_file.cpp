#include "store/line_file.h"

namespace store {

int CLineFile::Open(const std::string& path, platform::FileMode mode) {
  buffer_.clear();
  pos_ = 0;
  eof_ = false;
  return file_.Open(path, mode) == 0 ? 0 : kErrOpen;
}

int CLineFile::Fill() {
  char block[kBlockSize];
  long n = file_.Read(block, sizeof block);
  if (n < 0) return kErrRead;
  if (n == 0) {
    eof_ = true;
    return 0;
  }
  buffer_.erase(0, pos_);
  pos_ = 0;
  buffer_.append(block, static_cast<size_t>(n));
  return 0;
}

int CLineFile::ReadLine(std::string* line, size_t maxLen) {
  if (!file_.IsOpen()) return kErrClosed;
  line->clear();
  for (;;) {
    size_t nl = buffer_.find('\n', pos_);
    if (nl != std::string::npos) {
      size_t end = nl;
      if (end > pos_ && buffer_[end - 1] == '\r') --end;
      line->assign(buffer_, pos_, std::min(end - pos_, maxLen));
      pos_ = nl + 1;
      return 0;
    }
    if (eof_) {
      if (pos_ >= buffer_.size()) return kErrEndOfFile;
      size_t end = buffer_.size();
      if (buffer_[end - 1] == '\r') --end;
      line->assign(buffer_, pos_, std::min(end - pos_, maxLen));
      pos_ = buffer_.size();
      return 0;
    }
    if (int rc = Fill(); rc != 0) return rc;
  }
}

int CLineFile::Write(std::string_view text, bool newline) {
  if (!file_.IsOpen()) return kErrClosed;
  if (file_.Write(text) != 0) return kErrWrite;
  if (newline && file_.Write("\r\n") != 0) return kErrWrite;
  return 0;
}

int CLineFile::Sync() { return file_.Sync() == 0 ? 0 : kErrWrite; }

void CLineFile::Close() {
  file_.Close();
  buffer_.clear();
  pos_ = 0;
}

}  // namespace store
