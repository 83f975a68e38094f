// Fuzz target: the multipart reader, over a memory sink. The body is read through a small buffer
// in pieces whose sizes come from the input's first byte, so line splitting and held line ends
// are exercised. A failed read leaves no variables and no files; a successful one names only
// files it made, and every file variable is "<path>\0<name>\0" with a name free of separators.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "web/multipart_reader.h"
#include "web/web_results.h"

namespace {

// Upload paths carry a hash of the whole input, so that no text part can hold a look-alike of a
// file variable (a fixed token is found by the fuzzer's comparison tracing).

class CMemorySink : public web::IUploadSink {
 public:
  explicit CMemorySink(std::string prefix) : prefix(std::move(prefix)) {}
  int Open(std::string* path) override {
    if (files.size() >= 8) return -1;  // as a full disk would
    *path = prefix + std::to_string(files.size());
    current = *path;
    files[current];
    return 0;
  }
  int Write(std::string_view data) override {
    files[current].append(data);
    return 0;
  }
  int Close() override { return 0; }
  void Discard() override { files.clear(); }
  std::string prefix;
  std::map<std::string, std::string> files;
  std::string current;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t step = 1 + data[0] % 32;
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t first = std::min(body.size(), step);
  size_t pos = first;
  web::MultipartInput in;
  in.delivered = std::string_view(body).substr(0, first);
  in.remaining = body.size() - first;
  in.bufferMin = 80;
  in.read = [&](char* buf, size_t cap, size_t* got) {
    size_t n = std::min({cap, step, body.size() - pos});
    std::copy(body.data() + pos, body.data() + pos + n, buf);
    pos += n;
    *got = n;
    return 0;
  };
  CMemorySink sink("/mem/" + std::to_string(std::hash<std::string>{}(body)) + "/");
  web::CFormVariables vars;
  int rc = web::ReadMultipart(in, &sink, &vars);
  if (rc != web::kWebOk) {
    if (vars.Count() != 0 || !sink.files.empty()) __builtin_trap();
    return 0;
  }
  for (size_t i = 0; i < vars.Count(); ++i) {
    const std::string& v = vars.ValueAt(i);
    if (v.rfind(sink.prefix, 0) == 0 && v.size() >= 2 && v.back() == '\0') {
      std::string path = v.substr(0, v.find('\0'));
      std::string name = v.substr(path.size() + 1, v.size() - path.size() - 2);
      if (sink.files.count(path) == 0) __builtin_trap();
      if (name.find_first_of("/\\:") != std::string::npos) __builtin_trap();
    }
  }
  return 0;
}
