// Fuzz target: a template run over fuzzed request values. The input is cut at NUL bytes into the
// values of a few form fields; a fixed template uses them in references, conditions, SET,
// REPEAT, form controls, file and program directives. No crash, bounded output, and nothing of a
// request value reaches the page unescaped: the page holds no "<!--ISW" and no "<" but the
// template's own markup.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "web/template/template_engine.h"
#include "web/template/template_host.h"

namespace {

class CNullHost : public web::ITemplateHost {
 public:
  void WriteBrowser(std::string_view text) override { page.append(text); }
  const web::CTemplateSettings& Settings() const override { return settings; }
  int QueueMail(const web::OutgoingMail&, std::string*) override { return 0; }
  int RunProgram(const web::ProgramCall& call) override {
    // Request text must never name the program.
    if (call.useShell && call.commandLine.find("FUZZ") != std::string::npos) __builtin_trap();
    if (!call.useShell && !call.argv.empty() && call.argv[0] != "/bin/true") __builtin_trap();
    return 0;
  }
  web::CTemplateSettings settings;
  std::string page;
};

std::string& Dir() {
  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/tplfuzz.XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) __builtin_trap();
    dir = made;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(Dir(), ec);
    });
    (void)platform::MakeDirectory(dir + "/www");
    (void)platform::WriteFileAtomic(
        dir + "/www/t.htm",
        "<p>[(*a*)][(*b*)][(*c*)]</p>\n"
        "<!--ISW READ IF=(*a*) EQ=(*b*) -->same\n"
        "<!--ISW READ IF=(*a*) LT=(*c*) -->less\n"
        "<!--ISW SET s=\"x\"&(*a*)&(*b*) -->(*s*)\n"
        "<!--ISW REPEAT VAR=i FROM=(*a*) TO=(*b*) INC=(*c*) FMT=\"(*i*)\" -->\n"
        "<!--ISW REPEAT VAR=i FROM=1 TO=2 FMT=\"(*l[i]*)\" -->\n"
        "<!--ISW OPTION NAME=a VALUE=(*b*) --><!--ISW RADIO NAME=(*a*) VALUE=(*c*) -->\n"
        "<!--ISW INCLUDE FILE=(*d*) --><!--ISW DUMP FILE=(*d*) -->\n"
        "<!--ISW SYSTEM CMD=\"/bin/true \"&(*e*) --><!--ISW SYSTEM CMD=(*e*) -->\n"
        "<!--ISW SENDMAIL TO=(*a*) SUBJECT=(*b*) -->\n"
        "<!--ISW DEBUG VAR=2 -->\n",
        false);
  }
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = Dir();
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> values;
  size_t pos = 0;
  while (values.size() < 6) {
    size_t z = text.find('\0', pos);
    values.emplace_back(
        text.substr(pos, z == std::string_view::npos ? text.size() - pos : z - pos));
    if (z == std::string_view::npos) break;
    pos = z + 1;
  }
  values.resize(6);
  CNullHost host;
  host.settings.home = dir;
  host.settings.webrootDir = dir + "/www";
  web::CTemplateRequest req(&host);
  const char* names[] = {"a", "b", "c", "d", "e", "l[1]"};
  for (size_t i = 0; i < 6; ++i) req.vars.SetRequest(names[i], "FUZZ" + values[i]);
  req.vars.SetRequest("a", values[0]);  // unprefixed: numbers for the loop
  req.vars.SetRequest("b", values[1]);
  req.vars.SetRequest("c", values[2]);
  if (web::RunTemplate(req, dir + "/www/t.htm") != 0) __builtin_trap();
  if (host.page.find("<!--ISW") != std::string::npos) __builtin_trap();
  // The only "<" in the page are the template's own tags and the engine's own messages.
  for (size_t p = host.page.find('<'); p != std::string::npos; p = host.page.find('<', p + 1)) {
    std::string_view tag = std::string_view(host.page).substr(p, 8);
    if (tag.substr(0, 3) != "<p>" && tag.substr(0, 4) != "</p>" && tag.substr(0, 7) != "<OPTION" &&
        tag.substr(0, 6) != "<INPUT" && tag.substr(0, 4) != "<BR>" && tag.substr(0, 4) != "<PRE" &&
        tag.substr(0, 5) != "</PRE") {
      __builtin_trap();
    }
  }
  return 0;
}
