// Content transfer encodings of mail: Base64 (RFC 2045 6.8), quoted-printable (RFC 2045 6.7),
// uuencode, RFC 2047 "Q" encoded words (ISO-8859-1 only), BinHex 4.0 (RFC 1741).
//
// Every routine streams: the buffer forms take one chunk at a time and keep what belongs to the
// next chunk in their object; the file forms read and write in fixed blocks, so inputs of any
// size are handled in fixed memory. No input can make a routine read or write outside its
// buffers: malformed input gives an error result.
//
// Objects are single-threaded; free functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace toolkit {

constexpr int kErrWrite = -14;        // a write to the target failed
constexpr int kErrBadInput = -30;     // malformed encoded data
constexpr int kErrNoBegin = -1;       // uudecode: no "begin " line, or no "end" line

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char c);
// The value of one character of the Base64 alphabet, or -1 (also for the pad "=").
int Base64DigitValue(char c);

// Base64 ---------------------------------------------------------------------------------------

// Encodes `data` as lines of 76 characters ending in CR LF (57 input bytes a line).
std::string EncodeBase64Lines(std::string_view data);

class CBase64Decoder {
 public:
  // Decodes one chunk, keeping up to 3 pending characters for the next. Characters outside the
  // alphabet (line ends, blanks, damage) are skipped, as RFC 2045 6.8 has it; a "=" ends the
  // data. Appends to `out`; returns the bytes appended.
  long Decode(std::string_view chunk, std::string* out);
  // The end of the input: pending characters that do not make a group are an error
  // (kErrBadInput), after the one or two whole bytes that two or three of them hold were
  // appended to `out`.
  long Finish(std::string* out);

 private:
  uint32_t acc_ = 0;  // the pending characters' six-bit values
  int count_ = 0;     // how many are pending (0 to 3)
  bool ended_ = false;  // a "=" pad was seen: the rest is ignored
};

// Quoted-printable ------------------------------------------------------------------------------

class CQuotedPrintableEncoder {
 public:
  static constexpr int kMaxLine = 75;  // characters before the soft break "="
  // Encodes one chunk, appending to `out`; a blank or tab at the chunk's end is held back until
  // the next chunk shows whether a line end follows it.
  void Encode(std::string_view chunk, std::string* out);
  void Finish(std::string* out);

 private:
  void Put(std::string_view token, std::string* out);

  int column_ = 0;
  char held_ = 0;  // a blank or tab waiting for the next chunk
};

// Decodes quoted-printable text (trailing blanks of each line dropped, "=" at a line end joins
// lines, "=XX" gives one byte). Lines may end in CR LF or LF; a hard line break is written as
// the text has it.
std::string DecodeQuotedPrintable(std::string_view text);

// Uuencode --------------------------------------------------------------------------------------

// "begin <mode octal> <name>\n", lines of 45 bytes, a grave-accent line and "end\n".
std::string Uuencode(std::string_view data, unsigned mode, const std::string& name);
// Decodes the first uuencoded file in `text`. 0, or kErrNoBegin when the "begin " or the "end"
// line is missing. A missing name gives "NONAME.".
int Uudecode(std::string_view text, std::string* data, std::string* name, unsigned* mode = nullptr);

// The streaming form: text in chunks of any size, cut anywhere. Lines before "begin " and after
// "end" are skipped; only the first kMaxLine bytes of a line are looked at (a data line is at
// most 85 characters, a longer line is cut there), so memory stays fixed.
class CUudecoder {
 public:
  static constexpr size_t kMaxLine = 1024;
  // Appends the bytes of the chunk's complete lines to `out`.
  void Decode(std::string_view chunk, std::string* out);
  // The end of the text (a last line without line end counts): 0 when the "end" line was seen,
  // else kErrNoBegin.
  int Finish(std::string* out);
  bool Begun() const { return begun_; }
  const std::string& Name() const { return name_; }
  unsigned Mode() const { return mode_; }

 private:
  void Line(std::string_view line, std::string* out);

  std::string line_;  // the line being gathered, at most kMaxLine bytes
  bool cut_ = false;  // the line is longer than kMaxLine
  bool begun_ = false, ended_ = false;
  std::string name_;
  unsigned mode_ = 0;
};

// Encoded words ---------------------------------------------------------------------------------

// Decodes "=?iso-8859-1?Q?...?=" words (either case of the marker as written); other words stay.
// The result is cut to `size` - 1 bytes.
std::string DecodeEncodedWords(std::string_view text, size_t size = 4096);

// BinHex 4.0 ------------------------------------------------------------------------------------

struct BinHexFile {
  std::string name;
  std::string type, creator;  // four characters each
  uint16_t flags = 0;
  std::string data;           // the data fork
  std::string resource;       // the resource fork
};
// Decodes the BinHex 4.0 text after its marker line. 0, or kErrBadInput (no marker, a bad
// character, a CRC that does not match, a fork longer than the input, no closing ":").
int DecodeBinHex(std::string_view text, BinHexFile* out);
// CRC-16/XMODEM as BinHex uses it.
uint16_t BinHexCrc(std::string_view bytes, uint16_t crc = 0);

// The streaming form: text in chunks of any size, cut anywhere; memory stays fixed whatever the
// forks' sizes (the header is at most 300 bytes; run-length repeats are expanded as they come).
// The header's CRC is checked before any byte of the data fork is given; each fork's CRC when
// the fork ends, after its bytes were given: a caller that must not show a damaged file runs
// the text through once with no output (the checks alone) and then again.
class CBinHexDecoder {
 public:
  // Keeps the resource fork in `*resource` (else it is only checked).
  void KeepResource(std::string* resource) { resource_ = resource; }
  // Appends the data fork's bytes of this chunk to `out` (none when `out` is null). 0, or
  // kErrBadInput from the first bad character or CRC on (later chunks change nothing).
  int Decode(std::string_view chunk, std::string* out);
  // 0 when both forks and their CRCs were read and the closing ":" was seen, else kErrBadInput.
  int Finish() const;
  // Name, type, creator and flags, once the header was read.
  const BinHexFile& Header() const { return header_; }

 private:
  enum Stage { kMarker, kColon, kHeader, kData, kDataCrc, kResource, kResourceCrc, kDone };
  int Byte(unsigned char b, std::string* out);    // one byte after run-length expansion
  int Packed(unsigned char b, std::string* out);  // one byte before it

  Stage stage_ = kMarker;
  bool closed_ = false;  // the closing ":" was seen
  bool failed_ = false;
  std::string carry_;       // the text's end while the marker is looked for
  bool lineStart_ = false;  // after the marker: the last character was a line end
  uint32_t acc_ = 0;        // 6-bit characters not yet made into bytes
  int bits_ = 0;
  bool repeat_ = false;  // 0x90 seen: the next byte is a count
  bool haveLast_ = false;
  unsigned char last_ = 0;  // the last byte after expansion
  std::string head_;        // the header while it is read
  uint64_t left_ = 0;       // bytes left of the current fork or CRC
  uint16_t crc_ = 0;
  uint32_t resourceLength_ = 0;
  BinHexFile header_;
  std::string* resource_ = nullptr;
};

}  // namespace toolkit
