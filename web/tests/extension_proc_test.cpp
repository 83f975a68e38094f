#include "web/extension_proc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "platform/fs.h"
#include "platform/profile.h"
#include "testing/temp_dir.h"
#include "web/host/static_files.h"
#include "web/web_results.h"

namespace web {
namespace {

// A request as the host would hand it over: body given whole or in pieces, answer recorded.
struct FakeRequest {
  std::string method = "GET";
  std::string query;
  std::string contentType;
  std::string body;
  size_t delivered = SIZE_MAX;  // bytes of the body handed over with the request
  std::map<std::string, std::string> variables;
  bool failHeader = false;

  size_t readPos = 0;
  std::string statusLine;
  std::string headers;
  std::string answer;
  KaldorControlBlock block{};

  uint32_t Run(CExtensionServer* server, const CPageTable& pages) {
    delivered = std::min(delivered, body.size());
    readPos = delivered;
    block.size = sizeof block;
    block.connection = this;
    block.method = method.c_str();
    block.queryString = query.c_str();
    block.pathInfo = "";
    block.contentType = contentType.c_str();
    block.totalBytes = body.size();
    block.availableBytes = delivered;
    block.data = reinterpret_cast<const unsigned char*>(body.data());
    block.GetServerVariable = [](void* c, const char* name, char* buf, uint32_t* size) {
      auto* self = static_cast<FakeRequest*>(c);
      auto it = self->variables.find(name);
      if (it == self->variables.end() || it->second.size() + 1 > *size) return 0;
      std::memcpy(buf, it->second.c_str(), it->second.size() + 1);
      return 1;
    };
    block.ReadClient = [](void* c, void* buf, uint32_t* size) {
      auto* self = static_cast<FakeRequest*>(c);
      size_t n = std::min<size_t>(*size, self->body.size() - self->readPos);
      std::memcpy(buf, self->body.data() + self->readPos, n);
      self->readPos += n;
      *size = static_cast<uint32_t>(n);
      return 1;
    };
    block.WriteClient = [](void* c, const void* buf, uint32_t* size) {
      static_cast<FakeRequest*>(c)->answer.append(static_cast<const char*>(buf), *size);
      return 1;
    };
    block.SendResponseHeader = [](void* c, const char* status, const char* headers) {
      auto* self = static_cast<FakeRequest*>(c);
      if (self->failHeader) return 0;
      self->statusLine = status;
      self->headers = headers;
      return 1;
    };
    return RunExtensionRequest(server, &block, pages);
  }
};

// A home with NEXUM2.INI and the locator in a private WINDIR.
class ExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::MakeDirectory(dir_ / "home"), 0);
    ASSERT_EQ(platform::WriteFileAtomic(dir_ / "TORVIK.INI",
                                        "[Settings]\r\nHomeDir=" + (dir_ / "home") + "\r\n"),
              0);
    ASSERT_EQ(platform::WriteFileAtomic(dir_ / "home/NEXUM2.INI",
                                        "[SMTP]\r\nPostMaster=master\r\ndomain=example.test\r\n"
                                        "[Kaldor]\r\nwebroot=files\r\nadmlevel=3\r\n"),
              0);
    ::setenv("WINDIR", dir_.path().c_str(), 1);
    ::unsetenv("TMP");
    ::unsetenv("TEMP");
    ASSERT_EQ(server_.Start(), 0);
  }
  void TearDown() override { ::unsetenv("WINDIR"); }
  std::string Temp(const std::string& name) { return dir_ / ("home/TMP/" + name); }

  testing_support::CTempDir dir_;
  CExtensionServer server_;
};

TEST_F(ExtensionTest, StartUpReadsHomeSettingsAndWritesTheVersionBack) {
  EXPECT_EQ(server_.PostMaster(), "master");
  EXPECT_EQ(server_.Domain(), "example.test");
  EXPECT_EQ(server_.Paths().temp, dir_ / "home/TMP");
  EXPECT_EQ(server_.Paths().commandTxt, dir_ / "home/COMMAND/COMMAND.TXT");
  KaldorSettings s = server_.Settings();
  EXPECT_EQ(s.admlevel, 3);
  EXPECT_EQ(s.webroot, "files/");
  EXPECT_EQ(s.kaldoralias, "kaldor.dll");
  EXPECT_EQ(s.version, kExtensionVersion);
  EXPECT_NE(testing_support::Read(dir_ / "home/NEXUM2.INI").find("version=199907.M"),
            std::string::npos);
  EXPECT_EQ(WebRootPrefix(""), "");
  EXPECT_EQ(WebRootPrefix("files"), "files/");
  EXPECT_EQ(WebRootPrefix("files/"), "files/");
}

TEST_F(ExtensionTest, SettingsAreReloadedOnEveryRequest) {
  FakeRequest r;
  r.query = "About";
  r.Run(&server_, DefaultPages());
  EXPECT_EQ(platform::WriteProfileString(dir_ / "home/NEXUM2.INI", "Kaldor", "admlevel", "1"), 0);
  FakeRequest again;
  again.query = "About";
  again.Run(&server_, DefaultPages());
  EXPECT_EQ(server_.Settings().admlevel, 1);
}

TEST(ExtensionStartUp, WithoutHomeDirectoryAdministrationIsOff) {
  testing_support::CTempDir windir;
  ::setenv("WINDIR", windir.path().c_str(), 1);
  CExtensionServer server;
  EXPECT_EQ(server.Start(), 0);
  EXPECT_EQ(server.Settings().admlevel, 0);
  EXPECT_TRUE(server.Paths().home.empty());
  EXPECT_TRUE(server.Paths().temp.empty());
  FakeRequest r;
  r.query = "Install&_but=a&_jid=b&_acc=c";
  EXPECT_EQ(r.Run(&server, DefaultPages()), static_cast<uint32_t>(KALDOR_STATUS_SUCCESS));
  EXPECT_EQ(r.statusLine, "200 OK");
  ::unsetenv("WINDIR");
}

TEST_F(ExtensionTest, InstallPageAndContentTypeOnce) {
  FakeRequest r;
  r.query = "Install&_but=a&_jid=b&_acc=c&cmd=x";
  EXPECT_EQ(r.Run(&server_, DefaultPages()), static_cast<uint32_t>(KALDOR_STATUS_SUCCESS));
  EXPECT_EQ(r.statusLine, "200 OK");
  EXPECT_EQ(r.headers, "Content-Type: text/html\r\n");
  EXPECT_NE(r.answer.find("Installation complete"), std::string::npos);
  EXPECT_EQ(r.answer.rfind("<html><head><title>Email Messages Server</title></head>\n<body>", 0),
            0u);
}

TEST_F(ExtensionTest, ShowFormPrefixIsCaseSensitive) {
  FakeRequest lower;
  lower.query = "showform&x=1";
  lower.Run(&server_, DefaultPages());
  EXPECT_EQ(lower.block.status, 501u);
  EXPECT_NE(lower.answer.find("<H1>NOT IMPLEMENTED</H1>"), std::string::npos);
  EXPECT_NE(lower.answer.find("<b>showform&amp;x=1</b>"), std::string::npos);

  CPageTable pages = DefaultPages();
  static std::string seen;
  pages.showForm = [](CWebRequest& req, std::string_view text) {
    seen = std::string(text);
    req.Response().StartHtml();
    req.Response().Write("form");
    return kWebOk;
  };
  FakeRequest upper;
  upper.query = "ShowForm&f=a";
  upper.Run(&server_, pages);
  EXPECT_EQ(upper.block.status, 200u);
  EXPECT_EQ(seen, "ShowForm&f=a");
  EXPECT_EQ(upper.answer, "form");
}

TEST_F(ExtensionTest, ErrorPagesEscapeTheRequestText) {
  FakeRequest r;
  r.query = "Install&_but=<script>alert(1)</script>";
  r.Run(&server_, DefaultPages());
  EXPECT_EQ(r.block.status, 400u);
  EXPECT_EQ(r.statusLine, "400 Bad Request");
  EXPECT_EQ(r.answer.find("<script>"), std::string::npos);
  EXPECT_NE(r.answer.find("Request: Install&amp;_but=&lt;script&gt;"), std::string::npos);
  EXPECT_NE(r.answer.find("<HEAD><TITLE>HTTP Error 400</TITLE></HEAD>"), std::string::npos);

  FakeRequest unknown;
  unknown.query = "<img src=x>";
  unknown.Run(&server_, DefaultPages());
  EXPECT_EQ(unknown.block.status, 501u);
  EXPECT_EQ(unknown.answer.find("<img"), std::string::npos);
}

TEST_F(ExtensionTest, ParameterFaultsAre400AndPagesNotYetThereAre501) {
  struct Case {
    const char* query;
    uint32_t status;
  } cases[] = {
      {"Install", 400},                            // required parameters missing
      {"Install&a&b&c&d&e", 400},                  // one positional value too many
      {"Install&a&b&c&d", 200},                    // exactly as many
      {"Install&_but=a&_jid=b&_acc=c&zz=1", 400},  // unknown name
      {"Login&name=bob", 501},                     // page of a later stage
      {"Login&name=bob&x", 400},                   // parameters are checked first
      {"", 501},                                   // Default
      {"NoSuchCommand", 501},
      {"MfcISAPICommand=Install&_but=a&_jid=b&_acc=c", 200},
      {"INSTALL&_but=a&_jid=b&_acc=c", 200},
  };
  for (const Case& c : cases) {
    FakeRequest r;
    r.query = c.query;
    r.Run(&server_, DefaultPages());
    EXPECT_EQ(r.block.status, c.status) << c.query;
  }
}

TEST_F(ExtensionTest, PostBodiesAndMethods) {
  CPageTable pages = DefaultPages();
  static std::string seen;
  pages.mailbox = [](CWebRequest& req, CFormVariables& form, std::string_view text) {
    seen = form.Get("a") + "|" + form.Get("name%41") + "|" + std::string(text);
    req.Response().StartHtml();
    return kWebOk;
  };
  FakeRequest mailbox;
  mailbox.method = "POST";
  mailbox.query = "Mailbox";
  mailbox.contentType = "application/x-www-form-urlencoded";
  mailbox.body = "a=1&a=2&name%41=x%41\r\n  ";
  mailbox.delivered = 3;
  mailbox.Run(&server_, pages);
  EXPECT_EQ(mailbox.block.status, 200u);
  EXPECT_EQ(seen, "2|xA|a=1&a=2&name%41=x%41");  // trailing blanks and line ends cut

  // The command table with a POST body as the parameter list.
  FakeRequest install;
  install.method = "POST";
  install.query = "Install";
  install.body = "_but=a&_jid=b&_acc=c";
  install.Run(&server_, pages);
  EXPECT_EQ(install.block.status, 200u);

  // A multipart body for a command of the table fails the request.
  FakeRequest login;
  login.method = "POST";
  login.query = "Login";
  login.contentType = "multipart/form-data; boundary=b";
  login.body = "--b\r\nContent-Disposition: form-data; name=name\r\n\r\nbob\r\n--b--\r\n";
  login.Run(&server_, pages);
  EXPECT_EQ(login.block.status, 500u);

  FakeRequest put;
  put.method = "PUT";
  put.query = "Install";
  put.Run(&server_, pages);
  EXPECT_EQ(put.block.status, 501u);
}

TEST_F(ExtensionTest, UrlEncodedBodyLimit) {
  for (size_t size : {static_cast<size_t>(kFormBodyMax), static_cast<size_t>(kFormBodyMax) + 1}) {
    FakeRequest r;
    r.method = "POST";
    r.query = "Install";
    r.body = "_but=a&_jid=b&_acc=c&cmd=" + std::string(size - 25, 'x');
    ASSERT_EQ(r.body.size(), size);
    r.delivered = 1000;
    r.Run(&server_, DefaultPages());
    EXPECT_EQ(r.block.status, size == kFormBodyMax ? 200u : 413u) << size;
    if (size > kFormBodyMax) {
      EXPECT_EQ(r.readPos, 1000u);  // refused before reading on
    }
  }
}

TEST_F(ExtensionTest, UploadsStayForASuccessfulPageAndGoForAFailedOne) {
  std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\nDATA\r\n"
      "--b\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\ntext\r\n--b--\r\n";
  CPageTable pages = DefaultPages();
  static std::string path;
  static int answer;
  pages.processForm = [](CWebRequest& req, CFormVariables& form, std::string_view) {
    path = form.Get("f").substr(0, form.Get("f").find('\0'));
    req.Response().StartHtml();
    req.Response().WriteEscaped(form.Get("t"));
    return answer;
  };
  answer = kWebOk;
  FakeRequest ok;
  ok.method = "POST";
  ok.query = "ProcessForm";
  ok.contentType = "multipart/form-data; boundary=b";
  ok.body = body;
  ok.delivered = 10;
  ok.Run(&server_, pages);
  EXPECT_EQ(ok.block.status, 200u);
  EXPECT_EQ(ok.answer, "text");
  EXPECT_EQ(testing_support::Read(path), "DATA");

  answer = kWebFailed;
  FakeRequest failing = ok;
  failing.Run(&server_, pages);
  EXPECT_EQ(failing.block.status, 500u);
  EXPECT_FALSE(platform::FileExists(path));

  // A page that is not there yet: the body is read, then its files are removed.
  FakeRequest absent = ok;
  absent.query = "Pop3Acc";
  absent.Run(&server_, DefaultPages());
  EXPECT_EQ(absent.block.status, 501u);
  int left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "home/TMP")) {
    if (entry.path().filename().string().starts_with("F")) ++left;
  }
  EXPECT_EQ(left, 1);  // only the file of the successful request

  FakeRequest broken = ok;
  broken.body = body.substr(0, body.size() - 8);  // no closing boundary
  broken.Run(&server_, pages);
  EXPECT_EQ(broken.block.status, 400u);
}

TEST_F(ExtensionTest, ThrowingPageIs500AndFailedHeaderIsError) {
  CPageTable pages = DefaultPages();
  pages.getPart = [](CWebRequest&, std::string_view) -> int { throw std::runtime_error("x"); };
  FakeRequest r;
  r.query = "GetPart&x";
  EXPECT_EQ(r.Run(&server_, pages), static_cast<uint32_t>(KALDOR_STATUS_SUCCESS));
  EXPECT_EQ(r.block.status, 500u);
  EXPECT_NE(r.answer.find("SERVER ERROR"), std::string::npos);

  FakeRequest h;
  h.query = "Install&a&b&c";
  h.failHeader = true;
  EXPECT_EQ(h.Run(&server_, DefaultPages()), static_cast<uint32_t>(KALDOR_STATUS_ERROR));
  EXPECT_EQ(h.block.status, 500u);

  FakeRequest none;
  EXPECT_EQ(none.Run(nullptr, DefaultPages()), static_cast<uint32_t>(KALDOR_STATUS_ERROR));
  EXPECT_EQ(none.block.status, 500u);
}

TEST_F(ExtensionTest, ServerVariablesAreReadOnceAndMissingOnesAreEmpty) {
  CPageTable pages = DefaultPages();
  static std::string seen;
  pages.getPart = [](CWebRequest& req, std::string_view) {
    seen = req.Variable("REMOTE_ADDR") + "|" + req.Variable("http_referer") + "|" +
           req.Variable("REMOTE_USER") + "|" + req.ReadVariable("SERVER_PORT");
    req.Response().SetSendHeaders(false);
    return kWebOk;
  };
  FakeRequest r;
  r.query = "GetPart";
  r.variables = {{"REMOTE_ADDR", "127.0.0.9"},
                 {"HTTP_REFERER", "http://x/"},
                 {"SERVER_PORT", std::string(300, '9')}};
  r.Run(&server_, pages);
  EXPECT_EQ(seen, "127.0.0.9|http://x/||");  // a value over the buffer reads as missing
  EXPECT_TRUE(r.statusLine.empty());         // the page sent its answer itself
}

TEST(Response, ReasonPhrasesAndUnknownStatus) {
  EXPECT_EQ(CResponse::StatusLine(200), "200 OK");
  EXPECT_EQ(CResponse::StatusLine(302), "302 Moved Temporarily");
  EXPECT_EQ(CResponse::StatusLine(413), "413 Request Entity Too Large");
  EXPECT_EQ(CResponse::StatusLine(503), "503 Service Unavailable");
  EXPECT_EQ(CResponse::StatusLine(418), "200 OK");
  CResponse r;
  r.StartHtml();
  r.StartHtml();
  EXPECT_EQ(r.Headers(), "Content-Type: text/html\r\n");
  r.ErrorPage(418, "x");
  EXPECT_NE(r.Body().find("<BODY><H1>HTTP Error 418: No message available</H1></BODY>"),
            std::string::npos);
  EXPECT_EQ(r.Headers(), "Content-Type: text/html\r\n");
}

TEST(StaticPaths, RefusesEverythingThatCouldLeaveTheDirectory) {
  struct Case {
    const char* raw;
    int rc;
    const char* relative;
  } cases[] = {
      {"a.html", web_host::kStaticOk, "a.html"},
      {"dir/b%20c.css", web_host::kStaticOk, "dir/b c.css"},
      {"", web_host::kStaticOk, ""},
      {"//x//y/", web_host::kStaticOk, "x/y"},
      {"../etc/passwd", web_host::kStaticRefused, ""},
      {"a/../../x", web_host::kStaticRefused, ""},
      {"%2e%2e/x", web_host::kStaticRefused, ""},
      {"%2E%2E%2Fx", web_host::kStaticRefused, ""},
      {"a%2fb", web_host::kStaticRefused, ""},
      {"a%5cb", web_host::kStaticRefused, ""},
      {"a\\..\\b", web_host::kStaticRefused, ""},
      {"a%00.html", web_host::kStaticRefused, ""},
      {"./a", web_host::kStaticRefused, ""},
      {"a%", web_host::kStaticRefused, ""},
      {"a%4", web_host::kStaticRefused, ""},
      {"a%zz", web_host::kStaticRefused, ""},
      {"..a", web_host::kStaticOk, "..a"},
  };
  for (const Case& c : cases) {
    std::string relative = "unset";
    int rc = web_host::CheckStaticPath(c.raw, &relative);
    EXPECT_EQ(rc, c.rc) << c.raw;
    if (rc == web_host::kStaticOk) {
      EXPECT_EQ(relative, c.relative) << c.raw;
    }
  }
  std::string withNul("a\0b", 3);
  std::string relative;
  EXPECT_EQ(web_host::CheckStaticPath(withNul, &relative), web_host::kStaticRefused);
}

TEST(StaticPaths, SymbolicLinksOutsideAreRefused) {
  testing_support::CTempDir dir;
  ASSERT_EQ(platform::MakeDirectory(dir / "www"), 0);
  ASSERT_EQ(platform::MakeDirectory(dir / "www/sub"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "secret", "s"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "www/in.html", "in"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "www/sub/index.html", "idx"), 0);
  ASSERT_EQ(::symlink((dir / "secret").c_str(), (dir / "www/out").c_str()), 0);
  ASSERT_EQ(::symlink("..", (dir / "www/up").c_str()), 0);
  ASSERT_EQ(::symlink("in.html", (dir / "www/alias.html").c_str()), 0);
  int fd = -1;
  uint64_t size = 0;
  EXPECT_EQ(web_host::OpenBeneath(dir / "www", "out", &fd, &size), web_host::kStaticRefused);
  EXPECT_EQ(web_host::OpenBeneath(dir / "www", "up/secret", &fd, &size), web_host::kStaticRefused);
  EXPECT_EQ(web_host::OpenBeneath(dir / "www", "missing", &fd, &size), web_host::kStaticMissing);
  ASSERT_EQ(web_host::OpenBeneath(dir / "www", "alias.html", &fd, &size), web_host::kStaticOk);
  EXPECT_EQ(size, 2u);
  ::close(fd);
  ASSERT_EQ(web_host::OpenBeneath(dir / "www", "sub", &fd, &size), web_host::kStaticOk);
  EXPECT_EQ(size, 3u);
  ::close(fd);
  EXPECT_STREQ(web_host::ContentTypeOf("A.HTML"), "text/html");
  EXPECT_STREQ(web_host::ContentTypeOf("x.bin"), "application/octet-stream");
}

// A web root set to the home directory, or above it, serves none of the home's files (settings,
// account files with their passwords, mailboxes); a web root inside the home serves its own.
TEST(StaticPaths, FilesOfTheHomeDirectoryAreNeverServed) {
  testing_support::CTempDir dir;
  const std::string home = dir / "home";
  ASSERT_EQ(platform::MakeDirectory(home), 0);
  ASSERT_EQ(platform::MakeDirectory(home + "/MAILIN"), 0);
  ASSERT_EQ(platform::MakeDirectory(home + "/MAILIN/alice"), 0);
  ASSERT_EQ(platform::MakeDirectory(home + "/www"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home + "/MAILIN/alice/MAILBOX.INI", "pwd=x"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home + "/NEXUM2.INI", "[SMTP]"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home + "/www/index.html", "idx"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir / "page.html", "page"), 0);
  ASSERT_EQ(::symlink("home/NEXUM2.INI", (dir / "settings.html").c_str()), 0);
  int fd = -1;
  uint64_t size = 0;
  // The web root is the home directory.
  EXPECT_EQ(web_host::OpenBeneath(home, "NEXUM2.INI", &fd, &size, home), web_host::kStaticRefused);
  EXPECT_EQ(web_host::OpenBeneath(home, "MAILIN/alice/MAILBOX.INI", &fd, &size, home),
            web_host::kStaticRefused);
  EXPECT_EQ(web_host::OpenBeneath(home, "www", &fd, &size, home), web_host::kStaticRefused);
  // The web root holds the home directory: its other files are served, the home's are not, also
  // through a link.
  EXPECT_EQ(web_host::OpenBeneath(dir.path(), "home/NEXUM2.INI", &fd, &size, home),
            web_host::kStaticRefused);
  EXPECT_EQ(web_host::OpenBeneath(dir.path(), "settings.html", &fd, &size, home),
            web_host::kStaticRefused);
  ASSERT_EQ(web_host::OpenBeneath(dir.path(), "page.html", &fd, &size, home), web_host::kStaticOk);
  EXPECT_EQ(size, 4u);
  ::close(fd);
  // The web root is a directory of the home: its files are the web files.
  ASSERT_EQ(web_host::OpenBeneath(home + "/www", "", &fd, &size, home), web_host::kStaticOk);
  EXPECT_EQ(size, 3u);
  ::close(fd);
  // Without a home directory nothing is guarded.
  ASSERT_EQ(web_host::OpenBeneath(home, "NEXUM2.INI", &fd, &size), web_host::kStaticOk);
  ::close(fd);
}

}  // namespace
}  // namespace web
