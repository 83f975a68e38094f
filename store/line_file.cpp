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

int CLineFile::ReadLinePiece(std::string* piece, size_t maxLen, bool* lineEnd) {
  if (!file_.IsOpen()) return kErrClosed;
  if (maxLen == 0) maxLen = 1;
  piece->clear();
  for (;;) {
    size_t nl = buffer_.find('\n', pos_);
    if (nl != std::string::npos || eof_) {
      if (nl == std::string::npos && pos_ >= buffer_.size()) return kErrEndOfFile;
      size_t stop = nl == std::string::npos ? buffer_.size() : nl;
      size_t end = stop;
      if (end > pos_ && buffer_[end - 1] == '\r') --end;
      if (end - pos_ <= maxLen) {  // the rest of the line
        piece->assign(buffer_, pos_, end - pos_);
        pos_ = nl == std::string::npos ? buffer_.size() : nl + 1;
        *lineEnd = true;
        return 0;
      }
      // A longer line: this piece stops before the line's CR, which stays for the last piece.
      piece->assign(buffer_, pos_, maxLen);
      pos_ += maxLen;
      *lineEnd = false;
      return 0;
    }
    // No line end buffered: a full piece goes out when a character beyond it is buffered too, so
    // that a CR at the piece's end is known not to begin the line end.
    if (buffer_.size() - pos_ > maxLen) {
      piece->assign(buffer_, pos_, maxLen);
      pos_ += maxLen;
      *lineEnd = false;
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
