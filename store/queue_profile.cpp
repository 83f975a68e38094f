#include "store/queue_profile.h"

#include <cctype>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "store/line_file.h"

namespace store {
namespace {

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

using platform::StartsWithNoCase;
bool StartsNoCase(std::string_view text, std::string_view prefix) { return StartsWithNoCase(text, prefix); }

bool IsSectionLine(std::string_view line, std::string_view section) {
  return line.size() == section.size() + 2 && line.front() == '[' && line.back() == ']' &&
         StartsNoCase(line.substr(1), section);
}

// The value of a key line ("key = value"), or nothing when the line is not that key's.
bool KeyValue(std::string_view line, std::string_view key, std::string_view* value) {
  std::string_view t = SkipBlanks(line);
  if (!StartsNoCase(t, key)) return false;
  t.remove_prefix(key.size());
  if (t.empty() || (t.front() != '=' && t.front() != ' ' && t.front() != '\t')) return false;
  t = SkipBlanks(t);
  if (t.empty() || t.front() != '=') return false;
  *value = SkipBlanks(t.substr(1));
  return true;
}

int Store(std::string_view v, std::string* value, size_t size) {
  size_t room = size > 0 ? size - 1 : 0;
  value->assign(v.substr(0, room));
  return v.size() > room ? -1 : static_cast<int>(value->size());
}

}  // namespace

int QueueProfileGet(std::string_view section, std::string_view key, std::string_view def,
                    std::string* value, size_t size, const std::string& file) {
  CLineFile in;
  if (in.Open(platform::ResolvePath(file), platform::FileMode::kRead) == 0) {
    std::string line;
    bool inSection = false;
    while (in.ReadLine(&line, kProfileLineMax) == 0) {
      if (!inSection) {
        inSection = IsSectionLine(line, section);
        continue;
      }
      if (!line.empty() && line.front() == '[') break;
      std::string_view v;
      if (KeyValue(line, key, &v)) return Store(v, value, size);
    }
  }
  return Store(SkipBlanks(def), value, size);
}

int QueueProfileSet(std::string_view section, std::string_view key, std::string_view value,
                    const std::string& file) {
  std::string path = platform::ResolvePath(file);
  std::string temp = platform::ReplaceExtension(path, "in2");
  CLineFile in, out;
  bool haveInput = in.Open(path, platform::FileMode::kRead) == 0;
  if (int rc = out.Open(temp, platform::FileMode::kWrite); rc != 0) return rc;
  std::string keyLine = std::string(key) + "=" + std::string(value);
  bool inSection = false, done = false;
  int rc = 0;
  std::string line;
  while (haveInput && rc == 0 && in.ReadLine(&line, kProfileLineMax) == 0) {
    if (inSection && !done && !line.empty() && line.front() == '[') {
      if (!value.empty()) rc = out.Write(keyLine);  // the key was missing: end of the section
      done = true;
    }
    std::string_view v;
    if (inSection && !done && KeyValue(line, key, &v)) {
      if (!value.empty()) rc = out.Write(keyLine);
      done = true;
      continue;
    }
    if (!done && IsSectionLine(line, section)) inSection = true;
    if (rc == 0) rc = out.Write(line);
  }
  if (rc == 0 && !done && !value.empty()) {
    if (!inSection) {
      rc = out.Write("");
      if (rc == 0) rc = out.Write("[" + std::string(section) + "]");
    }
    if (rc == 0) rc = out.Write(keyLine);
  }
  if (rc == 0) rc = out.Sync();
  out.Close();
  in.Close();
  if (rc != 0 || platform::RenameFile(temp, path) != 0) {
    (void)platform::RemoveFile(temp);
    return rc != 0 ? rc : kErrWrite;
  }
  return 0;
}

}  // namespace store
