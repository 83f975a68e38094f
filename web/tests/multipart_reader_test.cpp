#include "web/multipart_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "platform/fs.h"
#include "testing/temp_dir.h"
#include "web/upload_files.h"
#include "web/web_results.h"

namespace web {
namespace {

// Upload files kept in memory, by made-up path.
class CMemorySink : public IUploadSink {
 public:
  int Open(std::string* path) override {
    if (failOpen) return -1;
    *path = "/mem/F" + std::to_string(files.size());
    current = *path;
    files[current];
    return 0;
  }
  int Write(std::string_view data) override {
    files[current].append(data);
    return 0;
  }
  int Close() override { return 0; }
  void Discard() override {
    files.clear();
    ++discards;
  }
  std::map<std::string, std::string> files;
  std::string current;
  bool failOpen = false;
  int discards = 0;
};

// Runs the reader over `body`: `first` bytes delivered, the rest read `step` bytes at a time.
int Read(const std::string& body, CFormVariables* vars, IUploadSink* sink, size_t first = SIZE_MAX,
         size_t step = SIZE_MAX, size_t bufferMin = 0, std::string contentType = "") {
  first = std::min(first, body.size());
  size_t pos = first;
  MultipartInput in;
  in.delivered = std::string_view(body).substr(0, first);
  in.remaining = body.size() - first;
  in.bufferMin = bufferMin;
  in.contentType = contentType;
  in.read = [&](char* buf, size_t cap, size_t* got) {
    size_t n = std::min({cap, step, body.size() - pos});
    std::copy(body.data() + pos, body.data() + pos + n, buf);
    pos += n;
    *got = n;
    return 0;
  };
  return ReadMultipart(in, sink, vars);
}

std::string Part(const std::string& headers, const std::string& content,
                 const std::string& boundary = "XyZ") {
  return "--" + boundary + "\r\n" + headers + "\r\n\r\n" + content + "\r\n";
}

const char kText[] = "Content-Disposition: form-data; name=\"t\"";

TEST(Multipart, TextPartLosesOnlyTheLineEndBeforeTheBoundary) {
  std::string body = Part(kText, "line1\r\nline2\nline3\r\n") + "--XyZ--\r\n";
  CFormVariables v;
  CMemorySink sink;
  ASSERT_EQ(Read(body, &v, &sink), kWebOk);
  // The content ended in CR LF before the boundary line's own CR LF: one line end is kept.
  EXPECT_EQ(v.Get("t"), "line1\r\nline2\nline3\r\n");
  CFormVariables w;
  ASSERT_EQ(Read(Part(kText, "abc") + "--XyZ--\r\n", &w, &sink), kWebOk);
  EXPECT_EQ(w.Get("t"), "abc");
  // LF-only line ends, as some clients send.
  CFormVariables lf;
  std::string lfBody = "--b\nContent-Disposition: form-data; name=x\n\nv1\nv2\n--b--\n";
  ASSERT_EQ(Read(lfBody, &lf, &sink), kWebOk);
  EXPECT_EQ(lf.Get("x"), "v1\nv2");
}

TEST(Multipart, TwoPartsWithOneNameKeepTheLastAndNamelessPartsAreDropped) {
  std::string body = Part(kText, "first") + Part(kText, "second") +
                     Part("Content-Disposition: form-data", "orphan") +
                     Part("Content-Disposition: form-data; name=empty", "") + "--XyZ--\r\n";
  CFormVariables v;
  CMemorySink sink;
  ASSERT_EQ(Read(body, &v, &sink), kWebOk);
  ASSERT_EQ(v.Count(), 2u);
  EXPECT_EQ(v.Get("t"), "second");
  EXPECT_NE(v.Find("empty"), nullptr);
  EXPECT_EQ(v.Get("empty"), "");
}

TEST(Multipart, FilePartValueIsPathNulNameNul) {
  std::string data("bin\r\n\0ary\r\n", 11);
  for (const char* sent : {"C:\\dir\\up.bin", "/home/u/up.bin", "disk:up.bin", "up.bin"}) {
    std::string body = Part(std::string("Content-Disposition: form-data; name=\"f\"; filename=\"") +
                                sent + "\"\r\nContent-Type: application/octet-stream",
                            data) +
                       "--XyZ--\r\n";
    CFormVariables v;
    CMemorySink sink;
    ASSERT_EQ(Read(body, &v, &sink), kWebOk) << sent;
    std::string expected = "/mem/F0";
    expected.push_back('\0');
    expected += "up.bin";
    expected.push_back('\0');
    EXPECT_EQ(v.Get("f"), expected) << sent;
    EXPECT_EQ(v.Get("f").size(), 7u + 1 + 6 + 1);
    EXPECT_EQ(sink.files["/mem/F0"], data);
  }
}

// Only a file part's value names an upload file: a text part holding the same bytes, a path, a
// NUL and a name, stays text (the page would otherwise remove the file it names).
TEST(Multipart, OnlyFilePartsAreMarkedAsUploads) {
  std::string lookalike("/etc/passwd\0x\0", 14);
  std::string body = Part(kText, lookalike) +
                     Part("Content-Disposition: form-data; name=f; filename=a.txt", "data") +
                     Part("Content-Disposition: form-data; name=g; filename=b.txt", "data") +
                     Part("Content-Disposition: form-data; name=g", lookalike) + "--XyZ--\r\n";
  CFormVariables v;
  CMemorySink sink;
  ASSERT_EQ(Read(body, &v, &sink), kWebOk);
  ASSERT_EQ(v.Count(), 3u);
  EXPECT_EQ(v.NameAt(0), "t");
  EXPECT_EQ(v.ValueAt(0), lookalike);
  EXPECT_FALSE(v.IsUploadAt(0));
  EXPECT_EQ(v.NameAt(1), "f");
  EXPECT_TRUE(v.IsUploadAt(1));
  EXPECT_EQ(v.NameAt(2), "g");  // the text part of the same name came last
  EXPECT_EQ(v.ValueAt(2), lookalike);
  EXPECT_FALSE(v.IsUploadAt(2));
}

TEST(Multipart, FileThatCannotBeMadeIsMarkedFailedAndSkipped) {
  std::string body = Part("Content-Disposition: form-data; name=f; filename=a.txt", "data") +
                     Part(kText, "after") + "--XyZ--\r\n";
  CFormVariables v;
  CMemorySink sink;
  sink.failOpen = true;
  ASSERT_EQ(Read(body, &v, &sink), kWebOk);
  EXPECT_EQ(v.Get("f"), std::string("\0a.txt\0", 7));
  EXPECT_EQ(v.Get("t"), "after");
  EXPECT_TRUE(sink.files.empty());
}

TEST(Multipart, BrokenBodiesFailAndDiscardTheirFiles) {
  std::string file = Part("Content-Disposition: form-data; name=f; filename=a", "data");
  struct Case {
    const char* what;
    std::string body;
    std::string type;
  } cases[] = {
      {"no closing boundary", file + Part(kText, "x"), ""},
      {"closing boundary cut", file + "--XyZ-", ""},
      {"header-only part", file + "--XyZ\r\nContent-Disposition: form-data; name=h\r\n--XyZ--\r\n",
       ""},
      {"empty body", "", ""},
      {"no boundary line", "hello\r\n\r\n", ""},
      {"boundary of the header never seen", file + "--XyZ--\r\n",
       "multipart/form-data; boundary=Other"},
      {"first line only", "--XyZ", ""},
      {"boundary too long", "--" + std::string(71, 'b') + "\r\n", ""},
  };
  for (const Case& c : cases) {
    CFormVariables v;
    CMemorySink sink;
    EXPECT_EQ(Read(c.body, &v, &sink, SIZE_MAX, SIZE_MAX, 0, c.type), kWebBadBody) << c.what;
    EXPECT_EQ(v.Count(), 0u) << c.what;
    EXPECT_TRUE(sink.files.empty()) << c.what;
  }
  // A boundary of 70 characters is allowed (RFC 2046), as is a matching declared one.
  std::string b70(70, 'b');
  CFormVariables v;
  CMemorySink sink;
  EXPECT_EQ(Read(Part(kText, "x", b70) + "--" + b70 + "--\r\n", &v, &sink, SIZE_MAX, SIZE_MAX, 0,
                 "multipart/form-data; boundary=\"" + b70 + "\""),
            kWebOk);
  EXPECT_EQ(v.Get("t"), "x");
}

TEST(Multipart, BoundaryMustStandAloneOnItsLine) {
  std::string body = Part(kText, "--XyZnot\r\n--XyZ x\r\n  --XyZ") + "--XyZ--  \r\nepilogue";
  CFormVariables v;
  CMemorySink sink;
  ASSERT_EQ(Read(body, &v, &sink), kWebOk);
  EXPECT_EQ(v.Get("t"), "--XyZnot\r\n--XyZ x\r\n  --XyZ");
}

// The same body, delivered whole, trickled one byte per read, or through a buffer smaller than
// its lines, gives the same variables and files.
TEST(Multipart, TrickledAndSmallBufferReadsGiveTheSameResult) {
  std::string longLine(100, 'L');
  std::string content = longLine + "\r\n" + longLine + "\r" + "\r\n\n" + longLine;
  std::string body = "--XyZ\r\n" + std::string(kText) + "\r\n\r\n" + content + "\r\n" +
                     Part("Content-Disposition: form-data; name=f; filename=x.bin", content) +
                     "--XyZ--\r\n";
  CFormVariables whole;
  CMemorySink wholeSink;
  ASSERT_EQ(Read(body, &whole, &wholeSink), kWebOk);
  EXPECT_EQ(whole.Get("t"), content);
  EXPECT_EQ(wholeSink.files["/mem/F0"], content);
  for (size_t buffer : {9u, 10u, 16u, 101u, 102u}) {
    for (size_t step : {1u, 3u, 64u}) {
      CFormVariables v;
      CMemorySink sink;
      ASSERT_EQ(Read(body, &v, &sink, 5, step, buffer), kWebOk) << buffer << "/" << step;
      EXPECT_EQ(v.Get("t"), content) << buffer << "/" << step;
      EXPECT_EQ(sink.files["/mem/F0"], content) << buffer << "/" << step;
    }
  }
}

TEST(Multipart, LimitsOfTextPartsAndPartCount) {
  CMemorySink sink;
  CFormVariables atLimit;
  std::string max(kPartMemoryMax, 'a');
  EXPECT_EQ(Read(Part(kText, max) + "--XyZ--\r\n", &atLimit, &sink), kWebOk);
  EXPECT_EQ(atLimit.Get("t").size(), kPartMemoryMax);
  CFormVariables over;
  EXPECT_EQ(Read(Part(kText, max + "a") + "--XyZ--\r\n", &over, &sink), kWebTooLarge);

  std::string parts;
  for (size_t i = 0; i < kMultipartPartsMax; ++i) {
    parts += Part("Content-Disposition: form-data; name=p" + std::to_string(i), "v");
  }
  CFormVariables many;
  EXPECT_EQ(Read(parts + "--XyZ--\r\n", &many, &sink), kWebOk);
  EXPECT_EQ(many.Count(), kMultipartPartsMax);
  CFormVariables tooMany;
  EXPECT_EQ(Read(parts + Part(kText, "v") + "--XyZ--\r\n", &tooMany, &sink), kWebBadBody);
}

TEST(UploadFiles, ExclusivePrivateFilesAndDiscard) {
  testing_support::CTempDir dir;
  // A name that is taken (here by a symbolic link to a file outside) is never written through.
  std::string outside = dir / "outside";
  ASSERT_EQ(platform::WriteFileAtomic(outside, "keep"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "useqf", "0"), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (dir / "F0000001.TMP").c_str()), 0);
  CUploadFiles uploads(dir.path());
  std::string path;
  ASSERT_EQ(uploads.Open(&path), 0);
  EXPECT_EQ(path, dir / "F0000002.TMP");
  ASSERT_EQ(uploads.Write("hello "), 0);
  ASSERT_EQ(uploads.Write(std::string(100000, 'x')), 0);
  ASSERT_EQ(uploads.Close(), 0);
  EXPECT_EQ(testing_support::Read(path), "hello " + std::string(100000, 'x'));
  EXPECT_EQ(testing_support::Read(outside), "keep");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  uploads.Discard();
  EXPECT_FALSE(platform::FileExists(path));
  EXPECT_TRUE(platform::FileExists(outside));

  CUploadFiles nowhere("");
  EXPECT_EQ(nowhere.Open(&path), -1);
}

TEST(UploadFiles, PrivateDirectoryCheck) {
  testing_support::CTempDir dir;
  EXPECT_EQ(platform::EnsurePrivateDirectory(dir / "new"), 0);
  ASSERT_EQ(platform::MakeDirectory(dir / "open"), 0);
  ASSERT_EQ(platform::ChangeMode(dir / "open", 0755), 0);
  EXPECT_EQ(platform::EnsurePrivateDirectory(dir / "open"), -1);
  ASSERT_EQ(::symlink((dir / "new").c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(platform::EnsurePrivateDirectory(dir / "link"), -1);
  EXPECT_EQ(platform::EnsurePrivateDirectory(""), -1);
}

}  // namespace
}  // namespace web
