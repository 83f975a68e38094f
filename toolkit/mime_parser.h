// The MIME structure of a stored message: one message node with the facts of its RFC 822
// header, and a tree of parts (RFC 2045/2046), each with type, subtype, parameters, transfer
// encoding, disposition and file name, and the byte range of its content in the text, so that a
// decoder can read a part directly.
//
// The parser does no I/O (ParseMessageText takes the bytes); ParseMessageFile maps a file and
// parses it, giving back the pages it has passed, so that a message of any size is parsed in
// bounded memory. DecodePart hands a leaf part's decoded content to a writer piece by piece.
//
// Where RFC 2045/2046/2231 and real mail need it: parts of a multipart/digest without
// Content-Type are message/rfc822 (RFC 2046 5.1.5); a boundary line may carry trailing blanks
// and tabs (RFC 2046 5.1.1); an unquoted parameter value runs to ";" (blanks inside kept, trailing
// ones cut); RFC 2231 continuations ("name*0*=", "name*1=") are joined, their "%XX" decoded and
// a value with a character set converted to UTF-8. A part's file name is UTF-8 whatever form it
// came in (toolkit::DecodeFileName: RFC 2047 encoded words too); toolkit::SafeFileName makes a
// name for the disk of it.
// Address headers give the address alone (toolkit::SplitMailbox: comments and display names
// removed).
//
// Reentrant: no state outside one call. Results: 0, or
//   kErrNoMemory (-20), kErrNoBoundary (-21: a multipart without boundary, or a read error),
//   kErrUnclosed (-22: the text ended before the closing boundary line), -4 (cannot open).
// After -21 and -22 the tree holds what was read, so that nothing the text holds is out of
// reach: a multipart without boundary is a part without children whose range is its whole
// content; an unclosed multipart's last part runs to the end of the text, and the parts after
// an unclosed inner multipart are read too.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapped_file.h"

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
  std::string fileName;            // disposition "filename", else parameter NAME; UTF-8
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
  // Called now and then with a range [begin, end) of the text that a scan for boundary lines
  // has passed (a later step may read it again).
  std::function<void(size_t begin, size_t end)> passed;
};

int ParseMessageText(std::string_view text, MimeMessage* out, const ParseOptions& options = {});
// Maps the file into `*file` (its View() is the text the part ranges refer to) and parses it;
// the pages the parse has passed are given back as it goes.
int ParseMessageFile(const std::string& path, MimeMessage* out, platform::CMappedFile* file,
                     const ParseOptions& options = {});

// The decoded content of the leaf part `part` of `text`, handed to `write` in pieces (at most
// about 1 MiB of encoded text at a time, whatever the encoding). `write` returns 0 to go on.
// `passed`, when given, is told each encoded range that has been decoded. Base64,
// quoted-printable (line ends kept as the text has them), uuencode and BinHex (the data fork)
// are decoded; other encodings are copied. 0, `write`'s error, or kErrBadInput (-30) when the
// content is malformed (what could be decoded before was written; a uuencoded part without its
// "end" line has all its lines written first). A BinHex part is read twice, its CRCs checked
// before anything is written: a damaged one writes nothing.
int DecodePart(std::string_view text, const MimePart& part,
               const std::function<int(std::string_view)>& write,
               const std::function<void(size_t begin, size_t end)>& passed = {});

// A header value for display: its RFC 2047 ISO-8859-1 "Q" words decoded, cut to `size` - 1.
std::string DecodeHeaderWord(const std::string& value, size_t size = 1024);

// "%d %s %02d:%02d" (day, month name, hours, minutes) from a Date: value; empty when not found.
std::string ShortDate(const std::string& date);

}  // namespace toolkit
