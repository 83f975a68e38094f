// Fuzz target: the MIME parser, part decoding, the address reader and every decoder. Any bytes:
// no crash, no read or write outside the input, part ranges inside the text, address parts
// within their limit, and encoders' output decoded back to their input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "toolkit/address.h"
#include "toolkit/encodings.h"
#include "toolkit/mime_parser.h"
#include "toolkit/wildcard.h"

namespace {

void CheckRanges(const toolkit::MimePart& p, std::string_view text, int depth) {
  if (p.begin > p.end || p.end > text.size() || depth > 64) __builtin_trap();
  if (p.children.empty() && !p.message) {
    // Every leaf decodes without reading outside its range; passed ranges lie inside it.
    (void)toolkit::DecodePart(
        text, p, [](std::string_view) { return 0; },
        [&](size_t b, size_t e) {
          if (b < p.begin || e > p.end || b >= e) __builtin_trap();
        });
  }
  for (const auto& c : p.children) CheckRanges(c, text, depth + 1);
  if (p.message) CheckRanges(p.message->body, text, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  toolkit::MimeMessage m;
  if (toolkit::ParseMessageText(text, &m) == 0) CheckRanges(m.body, text, 0);
  toolkit::SplitResult address = toolkit::SplitMailbox(text);
  if (address.local.size() > toolkit::kMaxAddressPart ||
      address.domain.size() > toolkit::kMaxAddressPart) {
    __builtin_trap();
  }
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
  // Line ends are kept as the text has them: LF text comes back as it went in.
  if (text.find('\r') == std::string::npos) {
    toolkit::CQuotedPrintableEncoder qp;
    std::string encoded;
    qp.Encode(text, &encoded);
    qp.Finish(&encoded);
    if (toolkit::DecodeQuotedPrintable(encoded) != text) __builtin_trap();
  }
  return 0;
}
