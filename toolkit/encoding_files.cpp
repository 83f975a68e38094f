#include "toolkit/encoding_files.h"

#include <algorithm>
#include <functional>

#include "platform/file.h"
#include "toolkit/encodings.h"

namespace toolkit {
namespace {

constexpr int kErrOpen = -4;
constexpr size_t kBlock = 65536;

// Reads [begin, end) of `source` in blocks of `block` bytes and hands each to `fn`, which
// returns 0 to go on. 0, kErrOpen, or `fn`'s error.
int ForEachBlock(const std::string& source, uint64_t begin, uint64_t end, size_t block,
                 const std::function<int(std::string_view)>& fn) {
  platform::CFile in;
  if (in.Open(source, platform::FileMode::kRead) != 0) return kErrOpen;
  std::string buf(std::max(block, kBlock), '\0');
  uint64_t pos = 0;
  std::string carry;  // a short read must not cut a fixed-size block in two
  for (;;) {
    long n = in.Read(buf.data(), buf.size());
    if (n < 0) return kErrOpen;
    if (n == 0) break;
    std::string_view data(buf.data(), static_cast<size_t>(n));
    uint64_t from = pos, to = pos + static_cast<uint64_t>(n);
    pos = to;
    if (to <= begin) continue;
    if (end != 0 && from >= end) break;
    size_t skip = begin > from ? static_cast<size_t>(begin - from) : 0;
    size_t take = end != 0 && end < to ? static_cast<size_t>(end - from) : data.size();
    carry.append(data.substr(skip, take - skip));
    size_t whole = carry.size() / block * block;
    for (size_t off = 0; off < whole; off += block) {
      if (int rc = fn(std::string_view(carry).substr(off, block)); rc != 0) return rc;
    }
    carry.erase(0, whole);
  }
  return carry.empty() ? 0 : fn(carry);
}

class CTarget {
 public:
  int Open(const std::string& path) {
    return file_.Open(path, platform::FileMode::kWrite) == 0 ? 0 : kErrOpen;
  }
  int Write(std::string_view data) {
    pending_.append(data);
    return pending_.size() >= kBlock ? Flush() : 0;
  }
  int Flush() {
    int rc = file_.Write(pending_) == 0 ? 0 : kErrWrite;
    pending_.clear();
    return rc;
  }

 private:
  platform::CFile file_;
  std::string pending_;
};

}  // namespace

int EncodeBase64File(const std::string& source, const std::string& target) {
  CTarget out;
  if (int rc = out.Open(target); rc != 0) return rc;
  int rc = ForEachBlock(source, 0, 0, 57 * 1024,
                        [&](std::string_view b) { return out.Write(EncodeBase64Lines(b)); });
  return rc != 0 ? rc : out.Flush();
}

int DecodeBase64File(const std::string& source, const std::string& target, uint64_t begin,
                     uint64_t end) {
  CTarget out;
  if (int rc = out.Open(target); rc != 0) return rc;
  CBase64Decoder decoder;
  std::string bytes;
  int rc = ForEachBlock(source, begin, end, kBlock, [&](std::string_view b) {
    bytes.clear();
    if (decoder.Decode(b, &bytes) < 0) return kErrBadInput;
    return out.Write(bytes);
  });
  if (rc != 0) return rc;
  bytes.clear();
  rc = decoder.Finish(&bytes) == 0 ? 0 : kErrBadInput;
  if (int r = out.Write(bytes); r != 0) return r;
  if (int r = out.Flush(); r != 0) return r;
  return rc;
}

int EncodeQuotedPrintableFile(const std::string& source, const std::string& target) {
  CTarget out;
  if (int rc = out.Open(target); rc != 0) return rc;
  CQuotedPrintableEncoder encoder;
  std::string text;
  int rc = ForEachBlock(source, 0, 0, kBlock, [&](std::string_view b) {
    text.clear();
    encoder.Encode(b, &text);
    return out.Write(text);
  });
  text.clear();
  encoder.Finish(&text);
  if (rc == 0) rc = out.Write(text);
  return rc != 0 ? rc : out.Flush();
}

int DecodeQuotedPrintableFile(const std::string& source, const std::string& target,
                              uint64_t begin, uint64_t end) {
  CTarget out;
  if (int rc = out.Open(target); rc != 0) return rc;
  // Lines are decoded whole: a block's last, unfinished line waits for the next block.
  std::string carry;
  int rc = ForEachBlock(source, begin, end, kBlock, [&](std::string_view b) {
    carry.append(b);
    size_t cut = carry.rfind('\n');
    if (cut == std::string::npos) return 0;
    int r = out.Write(DecodeQuotedPrintable(std::string_view(carry).substr(0, cut + 1)));
    carry.erase(0, cut + 1);
    return r;
  });
  if (rc == 0 && !carry.empty()) rc = out.Write(DecodeQuotedPrintable(carry));
  return rc != 0 ? rc : out.Flush();
}

int UuencodeFile(const std::string& source, const std::string& target, const std::string& name) {
  CTarget out;
  if (int rc = out.Open(target); rc != 0) return rc;
  bool first = true;
  int rc = ForEachBlock(source, 0, 0, 45 * 1024, [&](std::string_view b) {
    std::string text = Uuencode(b, 0644, name);
    // Each block's text is "begin" + lines + "`\nend\n": keep the begin line only once and
    // the end lines only at the very end.
    size_t linesAt = text.find('\n') + 1;
    std::string body = text.substr(linesAt, text.size() - linesAt - 6);
    int r = out.Write(first ? text.substr(0, linesAt) + body : body);
    first = false;
    return r;
  });
  if (rc == 0) rc = out.Write(first ? Uuencode("", 0644, name) : std::string("`\nend\n"));
  return rc != 0 ? rc : out.Flush();
}

int UudecodeFile(const std::string& source, const std::string& target, std::string* name) {
  CTarget out;
  if (int rc = out.Open(target); rc != 0) return rc;
  CUudecoder decoder;
  std::string data;
  int rc = ForEachBlock(source, 0, 0, kBlock, [&](std::string_view b) {
    data.clear();
    decoder.Decode(b, &data);
    return out.Write(data);
  });
  if (rc != 0) return rc;
  data.clear();
  int ended = decoder.Finish(&data);
  if (decoder.Begun()) *name = decoder.Name();
  if (int r = out.Write(data); r != 0) return r;
  if (int r = out.Flush(); r != 0) return r;
  return ended;
}

}  // namespace toolkit
