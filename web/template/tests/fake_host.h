// Test host for the template engine: collects the browser output, records queued mail and
// programs (or passes them on to the real writers), and keeps its home in a temporary directory.
#pragma once

#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/path.h"
#include "testing/temp_dir.h"
#include "web/template/template_engine.h"
#include "web/template/template_host.h"

namespace web_test {

class CFakeHost : public web::ITemplateHost {
 public:
  CFakeHost() {
    settings.home = dir.path();
    settings.webrootDir = dir / "www";
    settings.domain = "example.test";
    (void)platform::MakeDirectory(dir / "www");
    (void)platform::MakeDirectory(dir / "kaldor");
    (void)platform::MakeDirectory(dir / "MAILIN");
    (void)platform::MakeDirectory(dir / "INQUEUE");
  }
  void WriteBrowser(std::string_view text) override { page.append(text); }
  const web::CTemplateSettings& Settings() const override { return settings; }
  int QueueMail(const web::OutgoingMail& mail, std::string* path) override {
    mails.push_back(mail);
    if (!realMail) return 0;
    return web::ITemplateHost::QueueMail(mail, path);
  }
  int RunProgram(const web::ProgramCall& call) override {
    programs.push_back(call);
    return realPrograms ? web::ITemplateHost::RunProgram(call) : 0;
  }
  time_t Now() const override { return now != 0 ? now : std::time(nullptr); }

  // Writes `text` as a file under the home directory and returns its path.
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = dir / name;
    (void)platform::MakeDirectoryTree(platform::DirName(path));
    (void)platform::WriteFileAtomic(path, text, false);
    return path;
  }
  // An account directory with a MAILBOX.INI.
  std::string Account(const std::string& name, const std::string& ini = std::string()) {
    std::string path = dir / ("MAILIN/" + name);
    (void)platform::MakeDirectoryTree(path);
    (void)platform::WriteFileAtomic(path + "/MAILBOX.INI", ini, false);
    return path;
  }

  testing_support::CTempDir dir;
  web::CTemplateSettings settings;
  std::string page;
  std::vector<web::OutgoingMail> mails;
  std::vector<web::ProgramCall> programs;
  bool realMail = false;
  bool realPrograms = false;
  time_t now = 0;
};

// Runs `text` as a template (written to "t.htm" in the web root) and returns the page.
inline std::string Render(CFakeHost& host, web::CTemplateRequest& req, const std::string& text) {
  host.page.clear();
  std::string path = host.Write("www/t.htm", text);
  int rc = web::RunTemplate(req, path);
  if (rc != 0) return "<run failed>";
  return host.page;
}

}  // namespace web_test
