// CLineFile: the buffered line reader and writer of store files.
//
// Reads come in 512-byte blocks; a line ends at LF, and the LF and then a CR before it are
// removed. Writes append CR LF when asked. Error codes are the store's:
#pragma once

#include <string>
#include <string_view>

#include "platform/file.h"

namespace store {

constexpr int kErrOpen = -4;          // open failed
constexpr int kErrClosed = -5;        // the file is not open
constexpr int kErrWrite = -7;         // write failed
constexpr int kErrEndOfFile = -8;     // no more lines
constexpr int kErrRead = -9;          // read failed
constexpr int kErrNoMemory = -18;     // out of memory
constexpr int kErrProfileMemory = -201;

class CLineFile {
 public:
  static constexpr size_t kBlockSize = 512;

  [[nodiscard]] int Open(const std::string& path, platform::FileMode mode);
  // The next line without its line end, cut to `maxLen` characters (the rest of a longer line
  // is skipped). 0, kErrEndOfFile, kErrRead or kErrClosed.
  int ReadLine(std::string* line, size_t maxLen = 4096);
  // The next piece of a line of any length: at most `maxLen` characters, `*lineEnd` true when
  // the piece ends its line (the line end itself removed as by ReadLine). Copying the pieces and
  // a line end after each last piece reproduces the file whatever its line lengths.
  // 0, kErrEndOfFile, kErrRead or kErrClosed.
  int ReadLinePiece(std::string* piece, size_t maxLen, bool* lineEnd);
  // Writes `text`, then CR LF when `newline`. 0, kErrWrite or kErrClosed.
  int Write(std::string_view text, bool newline = true);
  // Flushes written data to disk (fsync). 0 or kErrWrite.
  int Sync();
  void Close();
  bool IsOpen() const { return file_.IsOpen(); }

 private:
  int Fill();

  platform::CFile file_;
  std::string buffer_;
  size_t pos_ = 0;
  bool eof_ = false;
};

}  // namespace store
