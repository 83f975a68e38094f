// qvmime: the mail toolkit from the command line, for administrators and tests.
//
//   qvmime parse FILE            the header facts and the part tree as JSON
//   qvmime extract FILE N        part N (numbered depth first from 1) decoded to standard output
//   qvmime save FILE N DIR       part N decoded into a new file in DIR, named after the part's
//                                file name made safe (toolkit::SafeFileName); prints its path
//   qvmime address TEXT          the address a reply to an address header value TEXT goes to
//   qvmime encode KIND FILE      base64 | qp | uu: FILE encoded to standard output
//   qvmime decode KIND FILE      base64 | qp | uu | binhex | words: FILE decoded to standard output
//
// Exit status 0, 1 for a usage error, 2 when a file cannot be read or parsed or a part's content
// is malformed (what could be decoded was written). A multipart without boundary or without its
// closing line is malformed too, but its parts are listed ("error" in the JSON) and extracted.
// Messages are mapped, not read whole, and parts are decoded piece by piece: a message of any
// size is handled in bounded memory.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/mapped_file.h"
#include "platform/path.h"
#include "toolkit/address.h"
#include "toolkit/encoding_files.h"
#include "toolkit/encodings.h"
#include "toolkit/file_names.h"
#include "toolkit/mime_parser.h"

namespace {

using toolkit::MimePart;

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream b;
  b << in.rdbuf();
  *out = b.str();
  return true;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

struct Entity {
  const MimePart* part;
  int depth;
};

// Depth first: a part, its children, and for an enclosed message its body.
void Walk(const MimePart& p, int depth, std::vector<Entity>* out) {
  out->push_back({&p, depth});
  for (const MimePart& c : p.children) Walk(c, depth + 1, out);
  if (p.message) Walk(p.message->body, depth + 1, out);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A message the parser refused for its structure (a multipart without boundary, or without its
// closing line) still has its parts in the tree: they are listed and extracted, and the exit
// status says the message was malformed.
bool Readable(int rc) { return rc == toolkit::kErrNoBoundary || rc == toolkit::kErrUnclosed; }

int Parse(const std::string& path) {
  toolkit::MimeMessage m;
  platform::CMappedFile file;
  int rc = toolkit::ParseMessageFile(path, &m, &file);
  if (rc != 0 && !Readable(rc)) {
    std::cout << "{\"error\": " << rc << "}\n";
    return 2;
  }
  const toolkit::HeaderRecord& h = m.header;
  std::cout << "{";
  if (rc != 0) std::cout << "\"error\": " << rc << ", ";
  std::cout << "\"hops\": " << h.hops << ", \"sender\": " << Json(h.sender)
            << ", \"subject\": " << Json(h.subject)
            << ", \"subject_decoded\": " << Json(toolkit::DecodeEncodedWords(h.subject))
            << ", \"date\": " << Json(h.date) << ", \"message_id\": " << Json(h.messageId)
            << ", \"reply_to\": " << Json(h.replyTo) << ", \"status\": " << h.status
            << ",\n \"parts\": [";
  std::vector<Entity> entities;
  Walk(m.body, 0, &entities);
  for (size_t i = 0; i < entities.size(); ++i) {
    const MimePart& p = *entities[i].part;
    bool leaf = p.children.empty() && !p.message && p.type != toolkit::kMultipart;
    std::cout << (i ? ",\n  " : "\n  ") << "{\"number\": " << i + 1
              << ", \"depth\": " << entities[i].depth
              << ", \"type\": " << Json(Lower(toolkit::MimeTypeName(p.type)))
              << ", \"subtype\": " << Json(Lower(p.subtypeText))
              << ", \"encoding\": " << Json(toolkit::MimeEncodingName(p.encoding))
              << ", \"filename\": " << Json(p.fileName) << ", \"begin\": " << p.begin
              << ", \"end\": " << p.end;
    if (leaf) {
      size_t size = 0;
      (void)toolkit::DecodePart(
          file.View(), p,
          [&](std::string_view piece) {
            size += piece.size();
            return 0;
          },
          [&](size_t begin, size_t end) { file.Release(begin, end); });
      std::cout << ", \"decoded_size\": " << size;
    }
    std::cout << "}";
  }
  std::cout << "\n]}\n";
  return rc == 0 ? 0 : 2;
}

// A message opened for one of its parts: the parse result (0, or a structure fault that still
// lists every part) and part `number` in the order `list` shows.
struct OpenedPart {
  toolkit::MimeMessage message;
  platform::CMappedFile file;
  int parsed = 0;
  const MimePart* part = nullptr;
};

// 0 with `opened` filled, 1 when there is no such part, 2 when the message cannot be read.
int OpenPart(const std::string& path, int number, OpenedPart* opened) {
  opened->parsed = toolkit::ParseMessageFile(path, &opened->message, &opened->file);
  if (opened->parsed != 0 && !Readable(opened->parsed)) return 2;
  std::vector<Entity> entities;
  Walk(opened->message.body, 0, &entities);
  if (number < 1 || static_cast<size_t>(number) > entities.size()) return 1;
  opened->part = entities[static_cast<size_t>(number) - 1].part;
  return 0;
}

int Extract(const std::string& path, int number) {
  OpenedPart m;
  if (int rc = OpenPart(path, number, &m); rc != 0) return rc;
  int rc = toolkit::DecodePart(
      m.file.View(), *m.part,
      [](std::string_view piece) {
        return std::fwrite(piece.data(), 1, piece.size(), stdout) == piece.size() ? 0 : -1;
      },
      [&](size_t begin, size_t end) { m.file.Release(begin, end); });
  return std::fflush(stdout) == 0 && rc == 0 && m.parsed == 0 ? 0 : 2;
}

// A new file in `dir` for a part named `name`: its safe form, or with "-2", "-3" ... before the
// extension when that is taken. Never an existing file, never outside `dir`.
int CreateIn(const std::string& dir, const std::string& name, platform::CFile* file,
             std::string* path) {
  const std::string safe = toolkit::SafeFileName(name);
  size_t dot = safe.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? safe : safe.substr(0, dot);
  std::string ext = dot == std::string::npos || dot == 0 ? std::string() : safe.substr(dot);
  for (int n = 1; n <= 100; ++n) {
    std::string candidate =
        n == 1 ? safe : toolkit::SafeFileName(stem + "-" + std::to_string(n) + ext);
    *path = platform::JoinPath(dir, candidate);
    if (file->Open(*path, platform::FileMode::kCreateNew) == 0) return 0;
  }
  return -1;
}

int Save(const std::string& path, int number, const std::string& dir) {
  OpenedPart m;
  if (int rc = OpenPart(path, number, &m); rc != 0) return rc;
  platform::CFile out;
  std::string target;
  if (CreateIn(dir, m.part->fileName, &out, &target) != 0) return 2;
  int rc = toolkit::DecodePart(
      m.file.View(), *m.part, [&](std::string_view piece) { return out.Write(piece); },
      [&](size_t begin, size_t end) { m.file.Release(begin, end); });
  std::cout << target << "\n";
  return rc == 0 && m.parsed == 0 ? 0 : 2;
}

// The file forms stream through fixed buffers; standard output is their target.
int Encode(const std::string& kind, const std::string& path) {
  const std::string out = "/dev/stdout";
  int rc;
  if (kind == "base64") {
    rc = toolkit::EncodeBase64File(path, out);
  } else if (kind == "qp") {
    rc = toolkit::EncodeQuotedPrintableFile(path, out);
  } else if (kind == "uu") {
    rc = toolkit::UuencodeFile(
        path, out, path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1));
  } else {
    return 1;
  }
  return rc == 0 ? 0 : 2;
}

int DecodeFile(const std::string& kind, const std::string& path) {
  if (kind == "base64") return toolkit::DecodeBase64File(path, "/dev/stdout") == 0 ? 0 : 2;
  if (kind == "qp") return toolkit::DecodeQuotedPrintableFile(path, "/dev/stdout") == 0 ? 0 : 2;
  if (kind == "uu") {
    std::string name;
    return toolkit::UudecodeFile(path, "/dev/stdout", &name) == 0 ? 0 : 2;
  }
  if (kind == "binhex") {
    // Mapped and decoded as a BinHex part of a message would be: in pieces, CRCs checked first.
    platform::CMappedFile file;
    if (file.Open(path) != 0) return 2;
    toolkit::MimePart whole;
    whole.encoding = toolkit::kBinHex;
    whole.end = file.View().size();
    int rc = toolkit::DecodePart(
        file.View(), whole,
        [](std::string_view piece) {
          return std::fwrite(piece.data(), 1, piece.size(), stdout) == piece.size() ? 0 : -1;
        },
        [&](size_t begin, size_t end) { file.Release(begin, end); });
    return std::fflush(stdout) == 0 && rc == 0 ? 0 : 2;
  }
  std::string data, out;
  if (!ReadFile(path, &data)) return 2;
  if (kind == "words") {
    out = toolkit::DecodeEncodedWords(data, data.size() + 1);
  } else {
    return 1;
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 2 && a[0] == "parse") return Parse(a[1]);
  if (a.size() == 3 && a[0] == "extract") return Extract(a[1], std::atoi(a[2].c_str()));
  if (a.size() == 4 && a[0] == "save") return Save(a[1], std::atoi(a[2].c_str()), a[3]);
  if (a.size() == 2 && a[0] == "address") {
    std::cout << toolkit::MailboxAddress(a[1]) << "\n";
    return 0;
  }
  if (a.size() == 3 && a[0] == "encode") return Encode(a[1], a[2]);
  if (a.size() == 3 && a[0] == "decode") return DecodeFile(a[1], a[2]);
  std::cerr << "usage: qvmime parse FILE | extract FILE N | save FILE N DIR | address TEXT |"
               " encode base64|qp|uu FILE |"
               " decode base64|qp|uu|binhex|words FILE\n";
  return 1;
}
