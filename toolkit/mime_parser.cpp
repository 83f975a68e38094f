#include "toolkit/mime_parser.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <new>
#include <sstream>

#include "toolkit/address.h"
#include "toolkit/encodings.h"

namespace toolkit {
namespace {

constexpr const char* kHeaderNames[] = {
    "RETURN-PATH", "DATE", "FROM", "SUBJECT", "SENDER", "TO", "CC", "MESSAGE-ID", "BCC",
    "CONTENT-TYPE", "MIME-VERSION", "CONTENT-DISPOSITION", "CONTENT-TRANSFER-ENCODING",
    "CONTENT-ID", "CONTENT-DESCRIPTION", "X-ISTATUS", "X-MAILER", "REPLY-TO", "IN-REPLY-TO",
    "RECEIVED", "ERRORS-TO"};
enum Header {
  kReturnPath, kDate, kFrom, kSubject, kSender, kTo, kCc, kMessageId, kBcc, kContentType,
  kMimeVersion, kContentDisposition, kContentTransferEncoding, kContentId, kContentDescription,
  kXIStatus, kXMailer, kReplyTo, kInReplyTo, kReceived, kErrorsTo, kNoHeader
};
constexpr const char* kTypes[] = {"MULTIPART", "TEXT", "AUDIO", "VIDEO", "MESSAGE", "IMAGE", "APPLICATION"};
const std::vector<std::vector<const char*>> kSubtypes = {
    {"MIXED", "ALTERNATIVE", "DIGEST", "PARALLEL", "HEADER-SET"},
    {"PLAIN", "RICHTEXT", "TAB-SEPARATED-VALUES"},
    {"BASIC", "WAV"},
    {"MPEG", "QUICKTIME"},
    {"RFC822", "PARTIAL", "EXTERNAL-BODY", "NEWS"},
    {"JPEG", "GIF", "IEF", "TIFF"},
    {"OCTET-STREAM", "POSTSCRIPT", "ODA", "ATOMIC-MAIL", "RTF", "MSWORD", "ZIP", "WORDPERFECT5.1",
     "MAC-BINHEX40"}};
const std::vector<std::vector<const char*>> kParameters = {
    {"BOUNDARY"}, {"NAME", "CHARSET"}, {"NAME", "TYPE", "PADDING"}, {"NAME"}, {"NAME"}, {"NAME"},
    {"NAME", "NUMBER", "TOTAL", "ID", "ACCESS-TYPE", "EXPIRATION", "SIZE", "PERMISSION", "SITE",
     "DIR", "MODE", "SUBJECT", "DIRECTORY"}};
constexpr const char* kEncodings[] = {"7BIT", "8BIT", "QUOTED-PRINTABLE", "BASE64", "BINARY",
                                      "X-UUENCODE", "UUENCODE", "UUENC", "X-UUENC"};
constexpr size_t kMaxParameter = 511;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Trim(std::string_view s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string_view::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r\n");
  return std::string(s.substr(a, b - a + 1));
}

// The next line of `text` from `pos`: its content without the line end; `pos` moves past it.
bool NextLine(std::string_view text, size_t* pos, size_t limit, std::string_view* line) {
  if (*pos >= limit) return false;
  size_t nl = text.find('\n', *pos);
  size_t end = (nl == std::string_view::npos || nl >= limit) ? limit : nl;
  *line = text.substr(*pos, end - *pos);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  *pos = end < limit ? end + 1 : limit;
  return true;
}

// Reads the header block at `*pos`: logical lines (continuations joined with one blank).
std::vector<std::string> ReadHeaderBlock(std::string_view text, size_t* pos, size_t limit) {
  std::vector<std::string> lines;
  std::string_view line;
  while (NextLine(text, pos, limit, &line)) {
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
      size_t text = line.find_first_not_of(" \t");
      lines.back() += ' ';
      if (text != std::string_view::npos) lines.back().append(line.substr(text));
      continue;
    }
    lines.emplace_back(line);
  }
  return lines;
}

int HeaderIndex(const std::string& line, std::string* value) {
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return kNoHeader;
  std::string name = line.substr(0, colon);
  if (name.find_first_of(" \t\r") != std::string::npos) return kNoHeader;
  name = Upper(name);
  *value = Trim(std::string_view(line).substr(colon + 1));
  for (int i = 0; i < static_cast<int>(std::size(kHeaderNames)); ++i) {
    if (name == kHeaderNames[i]) return i;
  }
  return kNoHeader;
}

std::string Token(std::string_view s, size_t* pos, const char* stops) {
  while (*pos < s.size() && (s[*pos] == ' ' || s[*pos] == '\t')) ++*pos;
  size_t start = *pos;
  while (*pos < s.size() && std::strchr(stops, s[*pos]) == nullptr) ++*pos;
  return std::string(s.substr(start, *pos - start));
}

// "name=value; name="value"": upper-case names, values unquoted and cut.
std::vector<std::pair<std::string, std::string>> Parameters(std::string_view s, size_t pos) {
  std::vector<std::pair<std::string, std::string>> out;
  while (pos < s.size()) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == ';')) ++pos;
    size_t eq = s.find('=', pos);
    if (eq == std::string_view::npos) break;
    std::string name = Upper(Trim(s.substr(pos, eq - pos)));
    pos = eq + 1;
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    std::string value;
    if (pos < s.size() && s[pos] == '"') {
      size_t close = s.find('"', pos + 1);
      value = std::string(s.substr(pos + 1, close == std::string_view::npos ? std::string_view::npos : close - pos - 1));
      pos = close == std::string_view::npos ? s.size() : close + 1;
      size_t semi = s.find(';', pos);
      pos = semi == std::string_view::npos ? s.size() : semi;
    } else {
      size_t end = s.find_first_of("; \t", pos);
      value = std::string(s.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
      size_t semi = s.find(';', pos);
      pos = semi == std::string_view::npos ? s.size() : semi;
    }
    while (!value.empty() && value.back() == ' ') value.pop_back();
    // RFC 2231 extended value ("name*=charset'language'text"): the text, percent-decoded.
    if (!name.empty() && name.back() == '*') {
      name.pop_back();
      size_t q1 = value.find('\'');
      size_t q2 = q1 == std::string::npos ? q1 : value.find('\'', q1 + 1);
      std::string text = q2 == std::string::npos ? value : value.substr(q2 + 1);
      value.clear();
      for (size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[k + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[k + 2]))) {
          value += static_cast<char>(std::stoi(text.substr(k + 1, 2), nullptr, 16));
          k += 2;
        } else {
          value += text[k];
        }
      }
    }
    if (value.size() > kMaxParameter) value.resize(kMaxParameter);
    if (!name.empty()) out.emplace_back(name, value);
  }
  return out;
}

void ContentType(const std::string& value, MimePart* part) {
  size_t pos = 0;
  std::string type = Upper(Token(value, &pos, "/; \t"));
  part->type = kUnknownType;
  for (int i = 0; i < 7; ++i) {
    if (type == kTypes[i]) part->type = i;
  }
  part->subtype = -1;
  part->subtypeText.clear();
  if (pos < value.size() && value[pos] == '/') {
    ++pos;
    part->subtypeText = Token(value, &pos, "; \t");
    std::string sub = Upper(part->subtypeText);
    if (part->type < kUnknownType) {
      const auto& list = kSubtypes[static_cast<size_t>(part->type)];
      for (size_t i = 0; i < list.size(); ++i) {
        if (sub == list[i]) part->subtype = static_cast<int>(i);
      }
    }
  }
  for (auto& [name, v] : Parameters(value, pos)) {
    if (part->type >= kUnknownType) continue;
    for (const char* allowed : kParameters[static_cast<size_t>(part->type)]) {
      if (name == allowed) part->parameters[name] = v;
    }
  }
  if (part->type == kApplication && Upper(part->subtypeText) == "MAC-BINHEX40") part->encoding = kBinHex;
  if (part->fileName.empty() && part->parameters.count("NAME")) part->fileName = part->parameters["NAME"];
}

void TransferEncoding(const std::string& value, MimePart* part) {
  size_t pos = 0;
  std::string word = Upper(Token(value, &pos, "; \t"));
  for (int i = 0; i < static_cast<int>(std::size(kEncodings)); ++i) {
    if (word == kEncodings[i]) {
      if (part->encoding != kBinHex) part->encoding = i > kUuencode ? kUuencode : i;
      return;
    }
  }
}

void Disposition(const std::string& value, MimePart* part) {
  size_t pos = 0;
  while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t' || value[pos] == ';')) ++pos;
  std::string word = Token(value, &pos, "; \t");
  std::string lower = word;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != "inline" && lower != "attachment") return;
  part->disposition = lower;
  for (auto& [name, v] : Parameters(value, pos)) {
    if (name == "FILENAME") part->fileName = v;
  }
}

std::string AddressOf(const std::string& value) { return JoinAddress(SplitAddress(value)); }

void Append(std::string* list, const std::string& value) {
  if (value.empty()) return;
  if (!list->empty()) *list += ", ";
  *list += value;
}

// Fills the part's content headers and, for a message, its header record.
void Dispatch(const std::vector<std::string>& lines, HeaderRecord* record, MimePart* part,
              bool allHeaders) {
  bool fromSeen = false, statusSeen = false;
  for (const std::string& line : lines) {
    std::string value;
    int h = HeaderIndex(line, &value);
    switch (h) {
      case kContentType: ContentType(value, part); break;
      case kContentTransferEncoding: TransferEncoding(value, part); break;
      case kContentDisposition: Disposition(value, part); break;
      case kContentId: part->contentId = value; break;
      case kContentDescription: part->description = value; break;
      default: break;
    }
    if (record == nullptr) continue;
    switch (h) {
      case kReceived: ++record->hops; break;
      case kMessageId: record->messageId = value; break;
      case kFrom:
        record->sender = record->from = AddressOf(value);
        record->hasFrom = fromSeen = true;
        break;
      case kSender:
        if (!fromSeen) record->sender = AddressOf(value);
        break;
      case kTo:
        record->hasTo = true;
        Append(&record->recipients, value);
        break;
      case kCc:
      case kBcc: Append(&record->recipients, value); break;
      case kSubject: record->subject = value; break;
      case kDate: record->date = value; break;
      case kXIStatus:
        if (!statusSeen) {
          statusSeen = true;
          record->statusText = line;
          record->status = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        }
        break;
      case kXMailer: record->mailer = value; break;
      case kReplyTo: record->replyTo = AddressOf(value); break;
      case kInReplyTo: record->inReplyTo = value; break;
      case kErrorsTo:
        record->errorsTo = AddressOf(value);
        record->hasErrorsTo = true;
        break;
      case kReturnPath:
      case kNoHeader:
        if (allHeaders) record->otherLines.push_back(line);
        break;
      default: break;
    }
  }
}

int ParseEntity(std::string_view text, size_t start, size_t limit, HeaderRecord* record,
                MimePart* part, const ParseOptions& options, int depth);

int ParseMultipart(std::string_view text, size_t pos, size_t limit, MimePart* part,
                   const ParseOptions& options, int depth) {
  auto it = part->parameters.find("BOUNDARY");
  if (it == part->parameters.end() || it->second.empty()) return kErrNoBoundary;
  const std::string delimiter = "--" + it->second;
  const std::string closing = delimiter + "--";
  size_t partStart = std::string_view::npos;  // content of the current part starts here
  std::string_view line;
  size_t lineStart = pos;
  while (lineStart < limit) {
    size_t next = lineStart;
    NextLine(text, &next, limit, &line);
    if (line == delimiter || line == closing) {
      if (partStart != std::string_view::npos) {
        // The line end before the delimiter belongs to the delimiter (RFC 2046 5.1.1).
        size_t end = lineStart;
        if (end > partStart && text[end - 1] == '\n') --end;
        if (end > partStart && text[end - 1] == '\r') --end;
        part->children.emplace_back();
        if (int rc = ParseEntity(text, partStart, end, nullptr, &part->children.back(), options,
                                 depth + 1);
            rc != 0) {
          return rc;
        }
      }
      if (line == closing) return 0;
      partStart = next;
    }
    lineStart = next;
  }
  return kErrUnclosed;
}

int ParseEntity(std::string_view text, size_t start, size_t limit, HeaderRecord* record,
                MimePart* part, const ParseOptions& options, int depth) {
  if (depth > options.maxDepth) return kErrNoBoundary;
  size_t pos = start;
  std::vector<std::string> lines = ReadHeaderBlock(text, &pos, limit);
  Dispatch(lines, record, part, options.allHeaders);
  part->begin = pos;
  part->end = limit;
  if (options.headerOnly) return 0;
  if (part->type == kMultipart) return ParseMultipart(text, pos, limit, part, options, depth);
  if (part->type == kMessage && part->subtype == 0) {
    part->message = std::make_shared<MimeMessage>();
    return ParseEntity(text, pos, limit, &part->message->header, &part->message->body, options,
                       depth + 1);
  }
  return 0;
}

}  // namespace

const char* MimeTypeName(int type) { return type >= 0 && type < 7 ? kTypes[type] : "UNKNOWN"; }

const char* MimeEncodingName(int encoding) {
  static const char* kNames[] = {"7bit", "8bit", "quoted-printable", "base64", "binary",
                                 "x-uuencode", "mac-binhex40"};
  return encoding >= 0 && encoding < 7 ? kNames[encoding] : "7bit";
}

int ParseMessageText(std::string_view text, MimeMessage* out, const ParseOptions& options) {
  try {
    *out = MimeMessage();
    return ParseEntity(text, 0, text.size(), &out->header, &out->body, options, 0);
  } catch (const std::bad_alloc&) {
    *out = MimeMessage();
    return kErrNoMemory;
  }
}

int ParseMessageFile(const std::string& path, MimeMessage* out, std::string* text,
                     const ParseOptions& options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return kErrCannotOpen;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return ParseMessageText(*text, out, options);
}

std::string DecodeHeaderWord(const std::string& value, size_t size) {
  return DecodeEncodedWords(value, size);
}

std::string ShortDate(const std::string& date) {
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string upper = Upper(date);
  for (int m = 0; m < 12; ++m) {
    size_t at = upper.find(Upper(kMonths[m]));
    if (at == std::string::npos) continue;
    size_t d = at;
    while (d > 0 && (date[d - 1] == ' ' || date[d - 1] == '-')) --d;
    size_t dStart = d;
    while (dStart > 0 && std::isdigit(static_cast<unsigned char>(date[dStart - 1]))) --dStart;
    int day = dStart < d ? std::atoi(date.c_str() + dStart) : 0;
    size_t colon = date.find(':', at);
    if (day == 0 || colon == std::string::npos || colon < 2) return std::string();
    int hours = std::atoi(date.c_str() + colon - 2);
    int minutes = std::atoi(date.c_str() + colon + 1);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d %s %02d:%02d", day, kMonths[m], hours, minutes);
    return buf;
  }
  return std::string();
}

}  // namespace toolkit
