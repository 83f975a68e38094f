// File forms of the content encodings: each reads its source and writes its target in fixed
// blocks (57 bytes a Base64 line, 45 a uuencode line, 64 KiB otherwise), so files of any size
// are handled in fixed memory. Results: 0, kErrWrite (-14) when the target cannot be written,
// -4 when a file cannot be opened, or the decoder's own error.
#pragma once

#include <cstdint>
#include <string>

namespace toolkit {

int EncodeBase64File(const std::string& source, const std::string& target);
// Decodes bytes [begin, end) of `source` (a message part); end 0 means to the end of the file.
int DecodeBase64File(const std::string& source, const std::string& target, uint64_t begin = 0,
                     uint64_t end = 0);
int EncodeQuotedPrintableFile(const std::string& source, const std::string& target);
int DecodeQuotedPrintableFile(const std::string& source, const std::string& target,
                              uint64_t begin = 0, uint64_t end = 0);
int UuencodeFile(const std::string& source, const std::string& target, const std::string& name);
// Decodes the first uuencoded file in `source` into `target`, line by line; its name, as the
// "begin" line writes it, into `*name` (toolkit::SafeFileName makes a file name of it).
// kErrNoBegin (-1) when the "begin " or the "end" line is missing: the target then holds the
// lines that were decoded.
int UudecodeFile(const std::string& source, const std::string& target, std::string* name);

}  // namespace toolkit
