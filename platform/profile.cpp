#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cctype>
#include <cerrno>
#include <climits>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}


std::string Unquote(std::string_view v) {
  v = Trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return std::string(v);
}

std::string ResolveProfile(const std::string& file) { return ResolvePath(ProfilePath(file)); }

}  // namespace

long ParseDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    // Saturate instead of overflowing: a huge number reads as the largest one.
    int digit = text[i] - '0';
    value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
  }
  return static_cast<long>(negative ? -value : value);
}

CIniDocument::Line CIniDocument::MakeLine(std::string text) {
  Line line;
  std::string_view t = Trim(text);
  if (!t.empty() && t.front() == '[') {
    size_t close = t.find(']');
    if (close != std::string_view::npos) {
      line.isSection = true;
      line.section = std::string(Trim(t.substr(1, close - 1)));
    }
  } else if (!t.empty() && t.front() != ';') {
    size_t eq = t.find('=');
    if (eq != std::string_view::npos) {
      line.isKey = true;
      line.key = std::string(Trim(t.substr(0, eq)));
    }
  }
  line.text = std::move(text);
  return line;
}

void CIniDocument::Parse(std::string_view text) {
  lines_.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view raw = text.substr(pos, end - pos);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    lines_.push_back(MakeLine(std::string(raw)));
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
  }
}

std::string CIniDocument::Serialize() const {
  std::string out;
  for (const Line& l : lines_) {
    out += l.text;
    out += "\r\n";
  }
  return out;
}

long CIniDocument::FindSection(std::string_view section) const {
  std::string_view want = Trim(section);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].isSection && EqualNoCase(lines_[i].section, want)) return static_cast<long>(i);
  }
  return -1;
}

size_t CIniDocument::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && !lines_[i].isSection) ++i;
  return i;
}

std::optional<std::string> CIniDocument::Get(std::string_view section, std::string_view key) const {
  long h = FindSection(section);
  if (h < 0) return std::nullopt;
  std::string_view want = Trim(key);
  for (size_t i = h + 1, end = SectionEnd(h); i < end; ++i) {
    if (lines_[i].isKey && EqualNoCase(lines_[i].key, want)) {
      std::string_view t = lines_[i].text;
      return Unquote(t.substr(t.find('=') + 1));
    }
  }
  return std::nullopt;
}

void CIniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (value.empty()) {
    DeleteKey(section, key);
    return;
  }
  std::string_view k = Trim(key);
  std::string text = std::string(k) + "=" + std::string(value);
  long h = FindSection(section);
  if (h < 0) {
    // A blank line between sections keeps hand-edited files readable.
    if (!lines_.empty() && !Trim(lines_.back().text).empty()) lines_.push_back(MakeLine(""));
    lines_.push_back(MakeLine("[" + std::string(Trim(section)) + "]"));
    lines_.push_back(MakeLine(std::move(text)));
    return;
  }
  size_t end = SectionEnd(h);
  size_t insertAt = h + 1;  // after the section's last non-blank line
  for (size_t i = h + 1; i < end; ++i) {
    if (lines_[i].isKey && EqualNoCase(lines_[i].key, k)) {
      // The key keeps the spelling it has in the file.
      lines_[i] = MakeLine(lines_[i].key + "=" + std::string(value));
      return;
    }
    if (!Trim(lines_[i].text).empty()) insertAt = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<long>(insertAt), MakeLine(std::move(text)));
}

void CIniDocument::DeleteKey(std::string_view section, std::string_view key) {
  long h = FindSection(section);
  if (h < 0) return;
  std::string_view want = Trim(key);
  for (size_t i = h + 1, end = SectionEnd(h); i < end; ++i) {
    if (lines_[i].isKey && EqualNoCase(lines_[i].key, want)) {
      lines_.erase(lines_.begin() + static_cast<long>(i));
      return;
    }
  }
}

void CIniDocument::DeleteSection(std::string_view section) {
  long h = FindSection(section);
  if (h < 0) return;
  lines_.erase(lines_.begin() + h, lines_.begin() + static_cast<long>(SectionEnd(h)));
}

bool CIniDocument::HasSection(std::string_view section) const { return FindSection(section) >= 0; }

std::vector<std::string> CIniDocument::SectionNames() const {
  std::vector<std::string> names;
  for (const Line& l : lines_)
    if (l.isSection) names.push_back(l.section);
  return names;
}

std::vector<std::pair<std::string, std::string>> CIniDocument::SectionEntries(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  long h = FindSection(section);
  if (h < 0) return out;
  for (size_t i = h + 1, end = SectionEnd(h); i < end; ++i) {
    if (!lines_[i].isKey) continue;
    std::string_view t = lines_[i].text;
    out.emplace_back(lines_[i].key, Unquote(t.substr(t.find('=') + 1)));
  }
  return out;
}

int LoadProfile(const std::string& file, CIniDocument* doc) {
  std::string text;
  std::string path = ResolveProfile(file);
  if (ReadWholeFile(path, &text) != 0) {
    *doc = CIniDocument();
    return FileExists(path) ? -1 : 0;
  }
  doc->Parse(text);
  return 0;
}

std::string GetProfileString(const std::string& file, std::string_view section,
                             std::string_view key, std::string_view def, size_t maxLen) {
  CIniDocument doc;
  std::string value(def);
  if (LoadProfile(file, &doc) == 0) {
    if (auto v = doc.Get(section, key)) value = *v;
  }
  if (value.size() > maxLen) value.resize(maxLen);
  return value;
}

long GetProfileLong(const std::string& file, std::string_view section, std::string_view key,
                    long def) {
  return ParseDecimal(GetProfileString(file, section, key, std::to_string(def)));
}

int UpdateProfile(const std::string& file, const std::function<void(CIniDocument*)>& change,
                  bool sync) {
  std::string path = ResolveProfile(file);
  // Writers serialise on the directory that holds the file: the file itself is replaced by
  // every write, so a lock on it would not outlive the write it guards.
  std::string dir = DirName(path);
  CUniqueFd dirFd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) return -1;
  while (::flock(dirFd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return -1;
  }
  std::string text;
  if (ReadWholeFile(path, &text) != 0 && FileExists(path)) return -1;
  CIniDocument doc(text);
  change(&doc);
  std::string out = doc.Serialize();
  if (out == text && FileExists(path)) return 0;
  return WriteFileAtomic(path, out, sync);
}

int WriteProfileString(const std::string& file, std::string_view section, std::string_view key,
                       std::string_view value) {
  return UpdateProfile(file, [&](CIniDocument* doc) { doc->Set(section, key, value); });
}

int DeleteProfileSection(const std::string& file, std::string_view section) {
  return UpdateProfile(file, [&](CIniDocument* doc) { doc->DeleteSection(section); });
}

}  // namespace platform
