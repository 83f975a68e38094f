#include "web/multipart_reader.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "platform/text.h"
#include "web/web_results.h"

namespace web {
namespace {

constexpr size_t kHeaderLineMax = 4096;  // the rest of a longer header line is ignored
constexpr size_t kBoundaryMax = 70;      // RFC 2046 5.1.1

struct FormPart {
  std::string name;
  std::string disposition;
  std::string filename;
  std::string value;  // content, or the upload file's path
  bool hasFile = false;
  bool failed = false;
  std::string heldLineEnd;
};

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::string Unquote(std::string_view s) {
  s = TrimRight(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  return std::string(s);
}

// Cuts a client's file name after its last path separator (Windows, Unix or old Mac style).
std::string StripPath(std::string name) {
  size_t cut = name.find_last_of("\\/:");
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

void ParseHeaderLine(std::string_view line, FormPart* part) {
  size_t pos = 0;
  while (pos <= line.size()) {
    size_t end = line.find(';', pos);
    if (end == std::string_view::npos) end = line.size();
    std::string_view piece = TrimLeft(line.substr(pos, end - pos));
    pos = end + 1;
    if (platform::StartsWithNoCase(piece, "Content-Disposition:")) {
      part->disposition = std::string(TrimRight(TrimLeft(piece.substr(20))));
    } else if (platform::StartsWithNoCase(piece, "name=")) {
      part->name = Unquote(piece.substr(5));
    } else if (platform::StartsWithNoCase(piece, "filename=")) {
      part->filename = StripPath(Unquote(piece.substr(9)));
    }
  }
}

enum class BoundaryKind { kNone, kNext, kLast };

// RFC 2046: "--" boundary, then "--" for the last one, then optional transport padding.
BoundaryKind MatchBoundary(std::string_view line, const std::string& delimiter) {
  if (line.size() < delimiter.size() || line.compare(0, delimiter.size(), delimiter) != 0) {
    return BoundaryKind::kNone;
  }
  std::string_view rest = line.substr(delimiter.size());
  bool last = rest.size() >= 2 && rest[0] == '-' && rest[1] == '-';
  if (last) rest.remove_prefix(2);
  if (!TrimRight(rest).empty()) return BoundaryKind::kNone;
  return last ? BoundaryKind::kLast : BoundaryKind::kNext;
}

class CMultipartParser {
 public:
  CMultipartParser(std::string declared, IUploadSink* sink)
      : declared_(std::move(declared)), sink_(sink) {
    parts_.emplace_back();
  }

  // One piece of the body: a whole line with its end (`lineEnd` is "\n" or "\r\n"), or a
  // buffer-sized piece of a longer line (`lineEnd` empty). `lineStart` tells whether the piece
  // begins a line. Returns kWebOk or a failure.
  int Piece(std::string_view content, std::string_view lineEnd, bool lineStart);
  bool Finished() const { return finished_; }
  void Publish(CFormVariables* vars);

 private:
  int FirstLine(std::string_view content, std::string_view lineEnd);
  int HeaderPiece(std::string_view content, std::string_view lineEnd);
  int ContentPiece(std::string_view content, std::string_view lineEnd);
  int Store(FormPart* part, std::string_view data);
  int CloseFile(FormPart* part);

  std::string declared_;   // the boundary named by the Content-Type, or ""
  std::string delimiter_;  // "--" and the boundary
  IUploadSink* sink_;
  std::vector<FormPart> parts_;
  bool inContent_ = false;
  bool finished_ = false;
  bool firstLine_ = true;
  std::string header_;  // the header line being collected
};

int CMultipartParser::Piece(std::string_view content, std::string_view lineEnd, bool lineStart) {
  if (finished_) return kWebOk;  // the epilogue after the closing boundary is ignored
  if (firstLine_) return FirstLine(content, lineEnd);
  if (!inContent_) return HeaderPiece(content, lineEnd);
  if (lineStart && !lineEnd.empty()) {
    BoundaryKind kind = MatchBoundary(content, delimiter_);
    if (kind != BoundaryKind::kNone) {
      FormPart& part = parts_.back();
      part.heldLineEnd.clear();  // the line end before a boundary belongs to the boundary
      int rc = CloseFile(&part);
      if (rc != kWebOk) return rc;
      if (kind == BoundaryKind::kLast) {
        finished_ = true;
        return kWebOk;
      }
      if (parts_.size() >= kMultipartPartsMax) return kWebBadBody;
      parts_.emplace_back();
      inContent_ = false;
      return kWebOk;
    }
  }
  return ContentPiece(content, lineEnd);
}

// The boundary is the body's first line (up to its first CR) without its leading "--".
int CMultipartParser::FirstLine(std::string_view content, std::string_view lineEnd) {
  if (header_.size() <= kBoundaryMax + 4) header_.append(content.substr(0, kBoundaryMax + 5));
  if (lineEnd.empty()) return kWebOk;
  firstLine_ = false;
  std::string line = std::move(header_);
  header_.clear();
  line = line.substr(0, line.find('\r'));
  if (line.size() < 3 || line.compare(0, 2, "--") != 0 || line.size() - 2 > kBoundaryMax) {
    return kWebBadBody;
  }
  if (!declared_.empty() && line.substr(2) != declared_) return kWebBadBody;
  delimiter_ = std::move(line);
  return kWebOk;
}

int CMultipartParser::HeaderPiece(std::string_view content, std::string_view lineEnd) {
  if (header_.size() < kHeaderLineMax) {
    header_.append(content.substr(0, kHeaderLineMax - header_.size()));
  }
  if (lineEnd.empty()) return kWebOk;  // the line goes on in the next piece
  std::string line = std::move(header_);
  header_.clear();
  while (!line.empty() && line.back() == '\r') line.pop_back();
  FormPart& part = parts_.back();
  if (!line.empty()) {
    ParseHeaderLine(line, &part);
    return kWebOk;
  }
  inContent_ = true;
  if (!part.filename.empty()) {
    part.hasFile = true;
    if (sink_->Open(&part.value) != 0) part.failed = true;
  }
  return kWebOk;
}

int CMultipartParser::ContentPiece(std::string_view content, std::string_view lineEnd) {
  FormPart& part = parts_.back();
  std::string held = std::move(part.heldLineEnd);
  part.heldLineEnd.assign(lineEnd);
  int rc = Store(&part, held);
  if (rc == kWebOk) rc = Store(&part, content);
  return rc;
}

int CMultipartParser::Store(FormPart* part, std::string_view data) {
  if (data.empty() || part->failed) return kWebOk;
  if (part->hasFile) {
    if (sink_->Write(data) != 0) {
      part->failed = true;  // the rest of this part is skipped, as when the file cannot be made
    }
    return kWebOk;
  }
  if (part->value.size() + data.size() > kPartMemoryMax) return kWebTooLarge;
  part->value.append(data);
  return kWebOk;
}

int CMultipartParser::CloseFile(FormPart* part) {
  if (!part->hasFile || part->failed) return kWebOk;
  if (sink_->Close() != 0) part->failed = true;
  return kWebOk;
}

void CMultipartParser::Publish(CFormVariables* vars) {
  for (const FormPart& part : parts_) {
    if (part.name.empty()) continue;
    if (part.hasFile) {
      std::string value = part.value;
      value.push_back('\0');
      value += part.filename;
      value.push_back('\0');
      vars->SetUpload(part.name, value);
    } else {
      vars->Set(part.name, part.value);
    }
  }
}

// Feeds the body through the parser line by line; kWebOk once the closing boundary was seen.
int Feed(const MultipartInput& input, CMultipartParser* parser) {
  size_t size = std::max({input.delivered.size(),
                          input.bufferMin != 0 ? input.bufferMin : kMultipartBufferMin, size_t{4}});
  std::unique_ptr<char[]> buffer(new char[size]);
  std::copy(input.delivered.begin(), input.delivered.end(), buffer.get());
  size_t begin = 0;
  size_t end = input.delivered.size();
  uint64_t remaining = input.remaining;
  bool lineStart = true;
  while (true) {
    std::string_view data(buffer.get() + begin, end - begin);
    size_t lf = data.find('\n');
    if (lf != std::string_view::npos) {
      size_t endLen = (lf > 0 && data[lf - 1] == '\r') ? 2 : 1;
      int rc = parser->Piece(data.substr(0, lf + 1 - endLen), data.substr(lf + 1 - endLen, endLen),
                             lineStart);
      if (rc != kWebOk) return rc;
      lineStart = true;
      begin += lf + 1;
      continue;
    }
    if (remaining > 0 && end - begin < size) {
      std::copy(buffer.get() + begin, buffer.get() + end, buffer.get());
      end -= begin;
      begin = 0;
      size_t want = static_cast<size_t>(std::min<uint64_t>(size - end, remaining));
      size_t got = 0;
      if (!input.read || input.read(buffer.get() + end, want, &got) != 0) return kWebReadFailed;
      if (got == 0) remaining = 0;  // the client has nothing more: treat as the end
      remaining -= std::min<uint64_t>(remaining, got);
      end += got;
      continue;
    }
    if (data.empty()) break;
    // No line end in a full buffer, or the body's last line: hand on a piece. A CR at the very end
    // may start a CR LF, so it stays for the next piece unless the body is over.
    size_t take = data.size();
    if (remaining > 0 && data.back() == '\r' && take > 1) --take;
    int rc = parser->Piece(data.substr(0, take), {}, lineStart);
    if (rc != kWebOk) return rc;
    lineStart = false;
    begin += take;
    if (remaining == 0 && begin == end) break;
  }
  return parser->Finished() ? kWebOk : kWebBadBody;
}

}  // namespace

std::string BoundaryOf(std::string_view contentType) {
  size_t pos = 0;
  while (pos < contentType.size()) {
    size_t end = contentType.find(';', pos);
    if (end == std::string_view::npos) end = contentType.size();
    std::string_view piece = TrimLeft(contentType.substr(pos, end - pos));
    pos = end + 1;
    if (platform::StartsWithNoCase(piece, "boundary=")) return Unquote(piece.substr(9));
  }
  return {};
}

int ReadMultipart(const MultipartInput& input, IUploadSink* sink, CFormVariables* vars) {
  CMultipartParser parser(BoundaryOf(input.contentType), sink);
  int rc = Feed(input, &parser);
  if (rc != kWebOk) {
    sink->Close();
    sink->Discard();
    return rc;
  }
  parser.Publish(vars);
  return kWebOk;
}

}  // namespace web
