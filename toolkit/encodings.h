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

// Base64 ---------------------------------------------------------------------------------------

// Encodes `data` as lines of 76 characters ending in CR LF (57 input bytes a line).
std::string EncodeBase64Lines(std::string_view data);

class CBase64Decoder {
 public:
  // Decodes one chunk (CR and LF are skipped), keeping up to 3 pending characters for the next.
  // Appends to `out`; returns the bytes appended, or kErrBadInput on a character outside the
  // alphabet (blanks and tabs are skipped too).
  long Decode(std::string_view chunk, std::string* out);
  // The end of the input: pending characters that do not make a group are an error.
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
// character, a CRC that does not match, a fork longer than the input).
int DecodeBinHex(std::string_view text, BinHexFile* out);
// CRC-16/XMODEM as BinHex uses it.
uint16_t BinHexCrc(std::string_view bytes, uint16_t crc = 0);

}  // namespace toolkit
