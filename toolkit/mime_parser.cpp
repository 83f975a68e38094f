#include "toolkit/mime_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "toolkit/address.h"
#include "toolkit/encodings.h"
#include "toolkit/file_names.h"

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

// A header field's line: a name of printable characters, blanks before the colon allowed
// (RFC 5322 3.6.8 and its obsolete syntax).
bool LooksLikeField(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (name.empty()) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 33 || static_cast<unsigned char>(c) > 126) return false;
  }
  return true;
}

// Reads the header block at `*pos`: logical lines (continuations joined with one blank). The
// block ends at an empty line, or before a line that is no header field and is not followed by
// one: mail without the empty line, or without any header, starts its body there (the text of
// a body is never taken for header lines and lost). A stray line between header fields (a fold
// that lost its blank) stays in the block, as does a first line "From " (a mailbox's envelope).
std::vector<std::string> ReadHeaderBlock(std::string_view text, size_t* pos, size_t limit) {
  std::vector<std::string> lines;
  std::string_view line;
  size_t lineStart = *pos;
  while (NextLine(text, pos, limit, &line)) {
    if (line.empty()) break;
    bool continuation = (line[0] == ' ' || line[0] == '\t') && !lines.empty();
    bool envelope = lines.empty() && line.substr(0, 5) == "From ";
    if (!continuation && !envelope && !LooksLikeField(line)) {
      size_t after = *pos;
      std::string_view next;
      if (!NextLine(text, &after, limit, &next) || !LooksLikeField(next)) {
        *pos = lineStart;  // the body begins with this line
        break;
      }
    }
    lineStart = *pos;
    if (continuation) {
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

std::string PercentDecoded(std::string_view text) {
  std::string value;
  for (size_t k = 0; k < text.size(); ++k) {
    int hi = k + 2 < text.size() && text[k] == '%' ? HexDigitValue(text[k + 1]) : -1;
    int lo = hi >= 0 ? HexDigitValue(text[k + 2]) : -1;
    if (lo >= 0) {
      value += static_cast<char>(hi * 16 + lo);
      k += 2;
    } else {
      value += text[k];
    }
  }
  return value;
}

// The sections of one RFC 2231 parameter: number -> (value, extended).
using Sections = std::map<int, std::pair<std::string, bool>>;

// The RFC 2231 value of the sections 0, 1, ... in a row (a gap ends it): the extended ones
// percent-decoded; the character set before the first one's first "'" converts the whole to
// UTF-8 (the language after it is dropped); without one the bytes stay as they are.
std::string JoinSections(const Sections& sections) {
  std::string value, charset;
  int expected = 0;
  for (const auto& [number, section] : sections) {
    if (number != expected++) break;
    std::string_view text = section.first;
    if (section.second) {
      if (number == 0) {
        size_t q1 = text.find('\'');
        size_t q2 = q1 == std::string_view::npos ? q1 : text.find('\'', q1 + 1);
        if (q2 != std::string_view::npos) {
          charset = text.substr(0, q1);
          text.remove_prefix(q2 + 1);
        }
      }
      value += PercentDecoded(text);
    } else {
      value += text;
    }
    if (value.size() > kMaxParameter * 4) break;  // a UTF-8 character has up to 4 bytes
  }
  return charset.empty() ? value : ToUtf8(value, charset);
}

// "name=value; name="value"": upper-case names, values unquoted and cut. An unquoted value runs
// to ";" (blanks inside it kept: file names written unquoted by real mailers hold blanks);
// RFC 2231 sections "name*0*=", "name*1=" ... and "name*=" are joined into one value "name",
// which stands for the parameter even when a plain "name=" is given too.
std::vector<std::pair<std::string, std::string>> Parameters(std::string_view s, size_t pos) {
  std::vector<std::pair<std::string, std::string>> out;
  std::map<std::string, Sections> extended;
  std::vector<std::string> extendedOrder;
  while (pos < s.size()) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == ';')) ++pos;
    size_t eq = s.find('=', pos);
    if (eq == std::string_view::npos) break;
    std::string name = Upper(Trim(s.substr(pos, eq - pos)));
    pos = eq + 1;
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    std::string value;
    if (pos < s.size() && s[pos] == '"') {
      // A quoted string; of its quoted pairs only \" and \\ are taken as such, since mailers
      // write Windows paths into file names unescaped.
      size_t k = pos + 1;
      for (; k < s.size() && s[k] != '"'; ++k) {
        if (s[k] == '\\' && k + 1 < s.size() && (s[k + 1] == '"' || s[k + 1] == '\\')) ++k;
        value += s[k];
      }
      pos = k < s.size() ? k + 1 : s.size();
      size_t semi = s.find(';', pos);
      pos = semi == std::string_view::npos ? s.size() : semi;
    } else {
      size_t semi = s.find(';', pos);
      value = std::string(
          s.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos));
      pos = semi == std::string_view::npos ? s.size() : semi;
    }
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    size_t star = name.find('*');
    if (star != std::string::npos && star > 0) {
      // RFC 2231: "name*" (one extended section), "name*N" or "name*N*".
      std::string base = name.substr(0, star);
      std::string rest = name.substr(star + 1);
      bool isExtended = !rest.empty() && rest.back() == '*';
      if (isExtended) rest.pop_back();
      int number = 0;
      bool valid = rest.size() <= 3;
      for (char c : rest) valid = valid && c >= '0' && c <= '9';
      if (rest.empty()) {
        isExtended = true;  // "name*=": one extended section
      } else if (valid) {
        number = std::atoi(rest.c_str());
      }
      if (!valid || (rest.size() > 1 && rest[0] == '0')) continue;
      if (!extended.count(base)) extendedOrder.push_back(base);
      extended[base].emplace(number, std::make_pair(std::move(value), isExtended));
      continue;
    }
    if (value.size() > kMaxParameter) value.resize(kMaxParameter);
    if (!name.empty()) out.emplace_back(name, value);
  }
  for (const std::string& base : extendedOrder) {
    std::string value = JoinSections(extended[base]);
    if (value.size() > kMaxParameter) {
      size_t cut = kMaxParameter;  // not inside a UTF-8 character
      while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
      value.resize(cut);
    }
    out.emplace_back(base, std::move(value));  // after a plain one of the same name: it wins
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
  if (part->fileName.empty() && part->parameters.count("NAME")) {
    part->fileName = DecodeFileName(part->parameters["NAME"], kMaxParameter);
  }
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
    if (name == "FILENAME") part->fileName = DecodeFileName(v, kMaxParameter);
  }
}

// The address to answer: comments and display name removed (RFC 5322 3.4).
std::string AddressOf(const std::string& value) { return MailboxAddress(value); }

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

// How a line relates to the boundary: 0 not a boundary line, 1 a delimiter, 2 the closing
// delimiter. Blanks and tabs after the boundary (and after the closing "--") are padding that
// a receiver must accept (RFC 2046 5.1.1); anything else makes it an ordinary line.
int BoundaryLine(std::string_view line, std::string_view delimiter) {
  if (line.size() < delimiter.size() || line.compare(0, delimiter.size(), delimiter) != 0) return 0;
  line.remove_prefix(delimiter.size());
  int kind = 1;
  if (line.size() >= 2 && line[0] == '-' && line[1] == '-') {
    kind = 2;
    line.remove_prefix(2);
  }
  for (char c : line) {
    if (c != ' ' && c != '\t') return 0;
  }
  return kind;
}

// The text a scan passes is reported in steps of this size (ParseOptions::passed).
constexpr size_t kPassedStep = 8u << 20;

int ParseMultipart(std::string_view text, size_t pos, size_t limit, MimePart* part,
                   const ParseOptions& options, int depth) {
  auto it = part->parameters.find("BOUNDARY");
  if (it == part->parameters.end() || it->second.empty()) return kErrNoBoundary;
  const std::string delimiter = "--" + it->second;
  // A part of a digest without Content-Type is an enclosed message (RFC 2046 5.1.5).
  constexpr int kDigest = 2;  // the index of DIGEST among the subtypes of multipart
  const bool digest = part->subtype == kDigest;
  size_t partStart = std::string_view::npos;  // content of the current part starts here
  size_t reported = pos;                      // the scan has told `passed` up to here
  // A part that is itself unclosed makes the whole result kErrUnclosed, but its siblings are
  // still read: what the text holds stays in the tree for a caller that wants it.
  int unclosed = 0;
  auto addChild = [&](size_t end) {
    part->children.emplace_back();
    MimePart& child = part->children.back();
    if (digest) {
      child.type = kMessage;
      child.subtype = 0;
      child.subtypeText = "rfc822";
    }
    int rc = ParseEntity(text, partStart, end, nullptr, &child, options, depth + 1);
    if (rc == kErrUnclosed) {
      unclosed = rc;
      rc = 0;
    }
    return rc;
  };
  std::string_view line;
  size_t lineStart = pos;
  while (lineStart < limit) {
    size_t next = lineStart;
    NextLine(text, &next, limit, &line);
    int kind =
        line.size() >= delimiter.size() && line[0] == '-' ? BoundaryLine(line, delimiter) : 0;
    if (kind != 0) {
      if (partStart != std::string_view::npos) {
        // The line end before the delimiter belongs to the delimiter (RFC 2046 5.1.1).
        size_t end = lineStart;
        if (end > partStart && text[end - 1] == '\n') --end;
        if (end > partStart && text[end - 1] == '\r') --end;
        if (int rc = addChild(end); rc != 0) return rc;
      }
      if (kind == 2) return unclosed;
      partStart = next;
    }
    lineStart = next;
    if (lineStart - reported >= kPassedStep && options.passed) {
      options.passed(reported, lineStart);
      reported = lineStart;
    }
  }
  // The text ended before the closing delimiter: the result says so, and the last part, which
  // runs to the end, is in the tree like the others.
  if (partStart != std::string_view::npos && partStart < limit) {
    if (int rc = addChild(limit); rc != 0) return rc;
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

// Hands [begin, end) of `text` to `fn` in pieces of `step` bytes, each cut after a line end
// when `wholeLines` (a line longer than a piece stays whole); tells `passed` of what the pieces
// covered in ranges of at least 1 MiB (a page cut by a range's edge is not given back, so small
// ranges would keep much of the text resident) and at the end.
int ForEachPiece(std::string_view text, size_t begin, size_t end, bool wholeLines,
                 const std::function<int(std::string_view)>& fn,
                 const std::function<void(size_t, size_t)>& passed, size_t step = 1u << 20) {
  constexpr size_t kPassedMin = 1u << 20;
  size_t reported = begin;
  while (begin < end) {
    size_t cut = std::min(end, begin + step);
    if (wholeLines && cut < end) {
      size_t nl = text.substr(0, end).find('\n', cut - 1);
      cut = nl == std::string_view::npos ? end : nl + 1;
    }
    if (int rc = fn(text.substr(begin, cut - begin)); rc != 0) return rc;
    if (passed && (cut - reported >= kPassedMin || cut == end)) {
      passed(reported, cut);
      reported = cut;
    }
    begin = cut;
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

int ParseMessageFile(const std::string& path, MimeMessage* out, platform::CMappedFile* file,
                     const ParseOptions& options) {
  *out = MimeMessage();
  if (file->Open(path) != 0) return kErrCannotOpen;
  ParseOptions withRelease = options;
  if (!withRelease.passed) {
    withRelease.passed = [file](size_t begin, size_t end) { file->Release(begin, end); };
  }
  return ParseMessageText(file->View(), out, withRelease);
}

int DecodePart(std::string_view text, const MimePart& part,
               const std::function<int(std::string_view)>& write,
               const std::function<void(size_t begin, size_t end)>& passed) {
  size_t begin = std::min(part.begin, text.size());
  size_t end = std::min(std::max(part.end, begin), text.size());
  std::string out;
  switch (part.encoding) {
    case kBase64: {
      CBase64Decoder decoder;
      bool bad = false;
      int rc = ForEachPiece(
          text, begin, end, false,
          [&](std::string_view piece) {
            out.clear();
            bad = decoder.Decode(piece, &out) < 0;
            int r = write(out);
            return r != 0 ? r : bad ? kErrBadInput : 0;
          },
          passed);
      if (rc != 0) return rc;
      out.clear();
      rc = decoder.Finish(&out) == 0 ? 0 : kErrBadInput;
      if (!out.empty()) {
        if (int r = write(out); r != 0) return r;
      }
      return rc;
    }
    case kQuotedPrintable:
      return ForEachPiece(
          text, begin, end, true,
          [&](std::string_view piece) { return write(DecodeQuotedPrintable(piece)); }, passed);
    case kUuencode: {
      CUudecoder decoder;
      int rc = ForEachPiece(
          text, begin, end, false,
          [&](std::string_view piece) {
            out.clear();
            decoder.Decode(piece, &out);
            return out.empty() ? 0 : write(out);
          },
          passed);
      if (rc != 0) return rc;
      out.clear();
      rc = decoder.Finish(&out);
      if (!out.empty()) {
        if (int r = write(out); r != 0) return r;
      }
      return rc == 0 ? 0 : kErrBadInput;
    }
    case kBinHex: {
      // Twice through the text: first the CRCs alone, so that a damaged file gives nothing;
      // then the data fork to `write`. Small pieces: run-length repeats may make a piece's
      // bytes up to about 190 times its text.
      constexpr size_t kBinHexStep = 16u << 10;
      for (int pass = 0; pass < 2; ++pass) {
        CBinHexDecoder decoder;
        int rc = ForEachPiece(
            text, begin, end, false,
            [&](std::string_view piece) {
              out.clear();
              if (decoder.Decode(piece, pass == 0 ? nullptr : &out) != 0) return kErrBadInput;
              return out.empty() ? 0 : write(out);
            },
            passed, kBinHexStep);
        if (rc != 0) return rc;
        if (decoder.Finish() != 0) return kErrBadInput;
      }
      return 0;
    }
    default:
      return ForEachPiece(text, begin, end, false, write, passed);
  }
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
