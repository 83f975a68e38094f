// Fuzz target: the MIME parser, part decoding, the address reader, file names and every
// decoder. Any bytes: no crash, no read or write outside the input, part ranges inside the text
// (also of a tree refused with -21 or -22), address parts within their limit, streaming decoders
// giving the same bytes however the text is cut, names UTF-8 and safe names one plain name, and
// encoders' output decoded back to their input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "toolkit/address.h"
#include "toolkit/encodings.h"
#include "toolkit/file_names.h"
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
  int parsed = toolkit::ParseMessageText(text, &m);
  if (parsed == 0 || parsed == toolkit::kErrNoBoundary || parsed == toolkit::kErrUnclosed) {
    CheckRanges(m.body, text, 0);
  }
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
  int whole = toolkit::DecodeBinHex(text, &hqx);

  // The streaming decoders cut at a third of the text give what the whole text gives.
  std::string_view first = std::string_view(text).substr(0, size / 3);
  std::string_view rest = std::string_view(text).substr(size / 3);
  toolkit::CUudecoder uuCut;
  std::string uuOut;
  uuCut.Decode(first, &uuOut);
  uuCut.Decode(rest, &uuOut);
  std::string uuWhole, uuName;
  int uuRc = toolkit::Uudecode(text, &uuWhole, &uuName);
  if (uuCut.Finish(&uuOut) != uuRc || (uuRc == 0 && uuOut != uuWhole)) __builtin_trap();
  toolkit::CBinHexDecoder hqxCut;
  std::string hqxData;
  (void)hqxCut.Decode(first, &hqxData);
  (void)hqxCut.Decode(rest, &hqxData);
  if ((hqxCut.Finish() == 0) != (whole == 0) || (whole == 0 && hqxData != hqx.data)) {
    __builtin_trap();
  }

  // Names: UTF-8 always; a safe name is one plain name.
  std::string fileName = toolkit::DecodeFileName(text);
  if (!toolkit::IsUtf8(fileName) || fileName.size() > 511) __builtin_trap();
  std::string safe = toolkit::SafeFileName(text);
  if (safe.empty() || safe.size() > 255 || !toolkit::IsUtf8(safe) ||
      safe.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
      safe.find("..") != std::string::npos || safe == "." || safe[0] == '.') {
    __builtin_trap();
  }
  for (unsigned char c : safe) {
    if (c < 0x20 || c == 0x7F) __builtin_trap();
  }
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
