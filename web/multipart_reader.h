// The multipart/form-data reader (RFC 7578, RFC 2046 5.1): turns a form body with file uploads
// into CFormVariables, streaming file parts to upload files.
//
// The body is read as LF-ended lines through one buffer (at least kMultipartBufferMin bytes);
// a line longer than the buffer is handled in buffer-sized pieces. The boundary is the first
// line of the body without its leading "--"; when the Content-Type names a boundary, the two must
// agree. Every part's header lines fill its name, disposition and file name (the file name cut
// after its last "\", "/" or ":"); the empty line starts the content. A line "--boundary" (with
// optional blanks) starts the next part, "--boundary--" ends the body. The line end before a
// boundary belongs to the boundary: each content line's end is held back and written only when
// more content follows. A part with a non-empty file name goes to an upload file of the sink; its
// variable is "<path>\0<file name>\0". Other parts keep their content (at most kPartMemoryMax
// bytes) in memory. Parts without a name are dropped; a repeated name keeps the last part.
//
// Results: kWebOk; kWebBadBody (no boundary line, the boundaries disagree, the body ends before
// its closing boundary, too many parts); kWebTooLarge (a text part over its limit); kWebReadFailed
// (the source failed). On any failure the sink discards every file it made and `vars` is left
// unchanged. No state between calls; one reader per request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "web/form_variables.h"

namespace web {

constexpr int kWebBadBody = -1308;

// Where file parts go. One file is open at a time.
class IUploadSink {
 public:
  virtual ~IUploadSink() = default;
  // Makes a new file and sets its path; 0 or -1 (the part is then marked failed).
  virtual int Open(std::string* path) = 0;
  // Appends to the open file; 0 or -1.
  virtual int Write(std::string_view data) = 0;
  // Finishes the open file; 0 or -1.
  virtual int Close() = 0;
  // Removes every file made so far (the request failed).
  virtual void Discard() = 0;
};

// Reads more body bytes into buf (up to cap): sets *got (0 at the end of the body); 0 or -1.
using BodyReader = std::function<int(char* buf, size_t cap, size_t* got)>;

struct MultipartInput {
  std::string_view delivered;    // the part of the body the host already received
  uint64_t remaining = 0;        // body bytes still to read after it
  BodyReader read;               // pulls the rest
  std::string_view contentType;  // the request's Content-Type (for its boundary parameter)
  size_t bufferMin = 0;          // 0: kMultipartBufferMin (tests pass small buffers)
};

[[nodiscard]] int ReadMultipart(const MultipartInput& input, IUploadSink* sink,
                                CFormVariables* vars);

// The boundary parameter of a multipart Content-Type ("" when absent), quotes removed.
std::string BoundaryOf(std::string_view contentType);

}  // namespace web
