// Fuzz target: the MIME parser and every decoder. Any bytes: no crash, no read or write outside
// the input, part ranges inside the text, and encoders' output decoded back to their input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "toolkit/encodings.h"
#include "toolkit/mime_parser.h"
#include "toolkit/wildcard.h"

namespace {

void CheckRanges(const toolkit::MimePart& p, size_t size, int depth) {
  if (p.begin > p.end || p.end > size || depth > 64) __builtin_trap();
  for (const auto& c : p.children) CheckRanges(c, size, depth + 1);
  if (p.message) CheckRanges(p.message->body, size, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  toolkit::MimeMessage m;
  if (toolkit::ParseMessageText(text, &m) == 0) CheckRanges(m.body, text.size(), 0);
  (void)toolkit::ShortDate(text);

  toolkit::CBase64Decoder b64;
  std::string out;
  (void)b64.Decode(text, &out);
  (void)b64.Finish(&out);
  (void)toolkit::DecodeQuotedPrintable(text);
  std::string uu, name;
  (void)toolkit::Uudecode(text, &uu, &name);
  (void)toolkit::DecodeEncodedWords(text, 256);
  toolkit::BinHexFile hqx;
  (void)toolkit::DecodeBinHex(text, &hqx);
  (void)toolkit::WildcardMatch(text, text.substr(0, size / 2));

  // Round trips of the encoders.
  toolkit::CBase64Decoder back;
  std::string decoded;
  if (back.Decode(toolkit::EncodeBase64Lines(text), &decoded) < 0 || back.Finish(&decoded) != 0 ||
      decoded != text) {
    __builtin_trap();
  }
  if (toolkit::Uudecode(toolkit::Uuencode(text, 0644, "f"), &uu, &name) != 0 || uu != text) {
    __builtin_trap();
  }
  if (text.find_first_of("\r\n") == std::string::npos) {
    toolkit::CQuotedPrintableEncoder qp;
    std::string encoded;
    qp.Encode(text, &encoded);
    qp.Finish(&encoded);
    if (toolkit::DecodeQuotedPrintable(encoded) != text) __builtin_trap();
  }
  return 0;
}
