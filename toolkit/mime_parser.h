// The MIME structure of a stored message: one message node with the facts of its RFC 822
// header, and a tree of parts (RFC 2045/2046), each with type, subtype, parameters, transfer
// encoding, disposition and file name, and the byte range of its content in the text, so that a
// decoder can read a part directly.
//
// The parser does no I/O (ParseMessageText takes the bytes); ParseMessageFile reads a file and
// parses it. Reentrant: no state outside one call. Results: 0, or
//   kErrNoMemory (-20), kErrNoBoundary (-21: a multipart without boundary, or a read error),
//   kErrUnclosed (-22: the text ended before the closing boundary line), -4 (cannot open).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace toolkit {

constexpr int kErrNoMemory = -20;
constexpr int kErrNoBoundary = -21;
constexpr int kErrUnclosed = -22;
constexpr int kErrCannotOpen = -4;

enum MimeType : int { kMultipart, kText, kAudio, kVideo, kMessage, kImage, kApplication, kUnknownType };
enum MimeEncoding : int {
  k7Bit, k8Bit, kQuotedPrintable, kBase64, kBinary, kUuencode, kBinHex
};

const char* MimeTypeName(int type);
const char* MimeEncodingName(int encoding);

struct HeaderRecord {
  int hops = 0;             // "Received:" lines
  std::string messageId;
  std::string sender;       // From, or Sender when no From came before it
  std::string recipients;   // To, Cc and Bcc joined by ", "
  std::string subject;
  std::string date;
  std::string statusText;   // the first "X-IStatus:" line
  uint32_t status = 0;
  std::string mailer;
  std::string replyTo;
  std::string inReplyTo;
  std::string errorsTo;
  std::vector<std::string> otherLines;  // when all headers are asked for
  bool hasFrom = false;     // a "From:" line was seen
  bool hasTo = false;       // a "To:" line was seen
  bool hasErrorsTo = false;
  std::string from;         // the "From:" address alone (sender may come from "Sender:")
};

struct MimeMessage;

struct MimePart {
  int type = kText;
  int subtype = 0;                 // index within the type's subtypes, -1 unknown
  std::string subtypeText = "plain";
  std::map<std::string, std::string> parameters;  // upper-case names: BOUNDARY, NAME, CHARSET...
  int encoding = k7Bit;
  std::string disposition;         // "inline", "attachment" or empty
  std::string fileName;            // disposition "filename", else parameter NAME
  std::string contentId;
  std::string description;
  size_t begin = 0, end = 0;       // the content's byte range
  std::vector<MimePart> children;  // parts of a multipart
  std::shared_ptr<MimeMessage> message;  // an enclosed message/rfc822
};

struct MimeMessage {
  HeaderRecord header;
  MimePart body;
};

struct ParseOptions {
  bool headerOnly = false;  // the body is not scanned
  bool allHeaders = false;  // keep the other header lines
  int maxDepth = 32;        // nesting beyond this is refused as kErrNoBoundary
};

int ParseMessageText(std::string_view text, MimeMessage* out, const ParseOptions& options = {});
int ParseMessageFile(const std::string& path, MimeMessage* out, std::string* text,
                     const ParseOptions& options = {});

// A header value for display: its RFC 2047 ISO-8859-1 "Q" words decoded, cut to `size` - 1.
std::string DecodeHeaderWord(const std::string& value, size_t size = 1024);

// "%d %s %02d:%02d" (day, month name, hours, minutes) from a Date: value; empty when not found.
std::string ShortDate(const std::string& date);

}  // namespace toolkit
