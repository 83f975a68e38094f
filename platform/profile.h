// INI profile files: the settings and account files of the system.
//
// Semantics of the classic profile functions: sections and keys are matched without case, a
// value is trimmed and one pair of surrounding quotes is removed on read, a missing file,
// section or key gives the caller's default, writing creates the file and the section, and
// writing an empty value deletes the key. Files are written with CR LF line ends and read with
// LF or CR LF. A bare file name (no "/") lives in the Windows directory (platform/path.h);
// other names are resolved without regard to case.
//
// Every write is a read-modify-replace under an exclusive advisory lock (flock) on the file's
// directory, through a temporary file and rename: a reader never sees half a file and two writers in different
// processes do not lose each other's keys. Thread-safe.
//
// CIniDocument is the parsed form, for callers that read or change many keys at once.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class CIniDocument {
 public:
  CIniDocument() = default;
  explicit CIniDocument(std::string_view text) { Parse(text); }

  void Parse(std::string_view text);
  // The document as CR LF lines; comments and unknown lines are kept in place.
  std::string Serialize() const;

  // The value of `key` in `section` (trimmed, one pair of quotes removed), if present.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  // Sets the key (creating the section at the end when missing); an empty value deletes it.
  void Set(std::string_view section, std::string_view key, std::string_view value);
  void DeleteKey(std::string_view section, std::string_view key);
  void DeleteSection(std::string_view section);
  bool HasSection(std::string_view section) const;
  std::vector<std::string> SectionNames() const;
  // "key=value" pairs of a section, in file order, values as read by Get.
  std::vector<std::pair<std::string, std::string>> SectionEntries(std::string_view section) const;

 private:
  struct Line {
    std::string text;     // the line as read, without its line end
    std::string section;  // for a section header: its name; else empty
    std::string key;      // for a key line: its name; else empty
    bool isSection = false;
    bool isKey = false;
  };
  static Line MakeLine(std::string text);
  // Index of the header line of `section`, or -1.
  long FindSection(std::string_view section) const;
  // Index one past the last line belonging to the section whose header is at `header`.
  size_t SectionEnd(size_t header) const;

  std::vector<Line> lines_;
};

// Reads a string; the result is cut to `maxLen` characters (the caller's buffer size less one).
std::string GetProfileString(const std::string& file, std::string_view section,
                             std::string_view key, std::string_view def, size_t maxLen = 1023);
// Reads an integer: the default is formatted in decimal, the text converted with atoi semantics
// (leading blanks and sign, digits up to the first non-digit; a non-numeric value reads as 0).
long GetProfileLong(const std::string& file, std::string_view section, std::string_view key,
                    long def);

// 0 success, -1 failure (file cannot be read or replaced).
[[nodiscard]] int WriteProfileString(const std::string& file, std::string_view section,
                                     std::string_view key, std::string_view value);
[[nodiscard]] int DeleteProfileSection(const std::string& file, std::string_view section);

// Reads a whole file as a document; a missing file gives an empty document and 0.
[[nodiscard]] int LoadProfile(const std::string& file, CIniDocument* doc);
// Applies `change` to the current document of `file` and writes it back atomically, under the
// write lock of the file's directory.
// `sync` false leaves the flush to the caller (one SyncFileSystem after many files).
[[nodiscard]] int UpdateProfile(const std::string& file,
                                const std::function<void(CIniDocument*)>& change,
                                bool sync = true);

// Decimal conversion with atoi's rules, shared by all readers of settings text.
long ParseDecimal(std::string_view text);

}  // namespace platform
