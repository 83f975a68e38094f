#include "platform/path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/name_cache_internal.h"
#include "platform/text.h"

namespace platform {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// `components` joined as ResolvePath gives them: no empty component, a leading "/" kept.
std::string JoinComponents(bool absolute, const std::vector<std::string>& components,
                           size_t count) {
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < count; ++i)
    out = out.empty() ? components[i] : JoinPath(out, components[i]);
  return out;
}

}  // namespace

std::string NormaliseSeparators(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string BaseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string ResolvePath(const std::string& input) {
  std::string path = NormaliseSeparators(input);
  if (path.empty()) return path;
  bool absolute = path[0] == '/';
  std::vector<std::string> components;
  for (size_t pos = 0; pos <= path.size();) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    if (slash > pos) components.push_back(path.substr(pos, slash - pos));
    pos = slash + 1;
  }
  // A path that exists as written is its own resolution (each of its components exists as
  // written): one lstat. Else, when its directory exists as written, only the last component is
  // looked for. Else each component is looked for in turn.
  size_t known = 0;          // leading components known to exist as written
  bool lastMissing = false;  // the component after them is known to be missing as written
  std::string out = JoinComponents(absolute, components, components.size());
  if (components.empty() || Exists(out)) {
    known = components.size();
  } else if (components.size() == 1 ||
             Exists(JoinComponents(absolute, components, components.size() - 1))) {
    known = components.size() - 1;
    lastMissing = true;
  }
  if (known < components.size()) {
    out = JoinComponents(absolute, components, known);
    bool resolving = true;  // once a component is missing, the rest is taken as given
    for (size_t i = known; i < components.size(); ++i) {
      const std::string& comp = components[i];
      std::string asGiven = out.empty() ? comp : JoinPath(out, comp);
      if (!resolving || comp == "." || comp == "..") {
        out = std::move(asGiven);
        continue;
      }
      if (!(lastMissing && i == known) && Exists(asGiven)) {
        out = std::move(asGiven);
        continue;
      }
      // Missing as written: the first entry equal to it without case, if any.
      std::string name = CNameCache::Instance().Match(out, comp);
      out = out.empty() ? name : JoinPath(out, name);
      if (!Exists(out)) resolving = false;
    }
  }
  if (path.back() == '/' && out.back() != '/') out += '/';
  return out;
}

bool WildcardMatchNoCase(const std::string& pattern, const std::string& name) {
  // Iterative match with one back-track point per star: linear in practice, no recursion.
  size_t p = 0, n = 0, star = std::string::npos, mark = 0;
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> FindFiles(const std::string& dir, const std::string& pattern,
                                   EntryKind kind) {
  CDirectoryListing listing;
  if (!listing.Read(dir)) return {};
  return listing.Match(pattern, kind);
}

bool CDirectoryListing::Read(const std::string& dir) {
  dir_ = ResolvePath(dir.empty() ? "." : dir);
  entries_.clear();
  folded_.clear();
  foldedBuilt_ = false;
  DirHandle d(::opendir(dir_.c_str()));
  if (!d) return false;
  int fd = ::dirfd(d.get());
  while (dirent* e = ::readdir(d.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      // The file system does not tell, or a link: ask what the name leads to.
      struct stat st;
      isDir = ::fstatat(fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    entries_.push_back({std::move(name), isDir});
  }
  std::sort(entries_.begin(), entries_.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return true;
}

bool CDirectoryListing::ExistsExactly(std::string_view name) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                             [](const Entry& e, std::string_view n) { return e.name < n; });
  return it != entries_.end() && it->name == name;
}

const std::string* CDirectoryListing::Find(std::string_view name) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                             [](const Entry& e, std::string_view n) { return e.name < n; });
  if (it != entries_.end() && it->name == name) return &it->name;
  if (!foldedBuilt_) {
    folded_.reserve(entries_.size());
    // In byte-wise order, so the first entry of each name without case is the one kept.
    for (size_t i = 0; i < entries_.size(); ++i) folded_.emplace(ToLower(entries_[i].name), i);
    foldedBuilt_ = true;
  }
  auto f = folded_.find(ToLower(name));
  return f == folded_.end() ? nullptr : &entries_[f->second].name;
}

std::string CDirectoryListing::PathOf(const std::string& name) const {
  const std::string* found = Find(name);
  return JoinPath(dir_, found != nullptr ? *found : name);
}

std::vector<std::string> CDirectoryListing::Match(const std::string& pattern,
                                                  EntryKind kind) const {
  std::vector<std::string> names;
  for (const Entry& e : entries_) {
    if (kind != EntryKind::kAll && e.isDirectory != (kind == EntryKind::kDirectories)) continue;
    if (WildcardMatchNoCase(pattern, e.name)) names.push_back(e.name);
  }
  return names;
}

std::vector<std::string> CDirectoryListing::Names() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const Entry& e : entries_) names.push_back(e.name);
  return names;
}

std::string SiblingName(const std::string& path, char letter) {
  size_t start = path.rfind('/');
  start = start == std::string::npos ? 0 : start + 1;
  if (start >= path.size()) return path;
  std::string out = path;
  unsigned char old = static_cast<unsigned char>(out[start]);
  unsigned char l = static_cast<unsigned char>(letter);
  out[start] = static_cast<char>(std::islower(old) ? std::tolower(l) : std::toupper(l));
  return out;
}

std::string ReplaceExtension(const std::string& path, const std::string& ext) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return path + "." + ext;
  }
  return path.substr(0, dot + 1) + ext;
}

std::string WindowsDirectory() {
  const char* w = std::getenv("WINDIR");
  if (w != nullptr && *w != '\0') return NormaliseSeparators(w);
  return "/etc/quorvale";
}

std::string ProfilePath(const std::string& name) {
  std::string n = NormaliseSeparators(name);
  if (n.find('/') != std::string::npos) return n;
  return JoinPath(WindowsDirectory(), n);
}

namespace {

// Absolute, with links followed as far as the path exists, and lexically normal; empty on failure.
std::string CanonicalPath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return std::string();
  p = std::filesystem::weakly_canonical(p, ec);
  if (ec) return std::string();
  return p.lexically_normal().string();
}

}  // namespace

bool PathBelow(const std::string& path, const std::string& root) {
  if (path.empty() || root.empty()) return false;
  std::string target = CanonicalPath(path);
  std::string base = CanonicalPath(root);
  if (target.empty() || base.empty()) return false;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") return target.size() > 1 && target[0] == '/';  // everything is below the root
  return target.size() > base.size() && target.compare(0, base.size(), base) == 0 &&
         target[base.size()] == '/';
}

}  // namespace platform
