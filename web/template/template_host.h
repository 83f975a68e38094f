// What the template engine needs from the web entry that runs it, and the state a request keeps
// for its templates.
//
// ITemplateHost is implemented by the request object of the web entry (and by fakes in tests):
// the browser output, the extension settings and paths, queuing mail and starting programs. Its
// default QueueMail and RunProgram do the real work (the in-queue and the process launcher); a
// host overrides them only to observe or to refuse.
//
// CTemplateRequest is the per-request state shared by every template of one page: the variable
// table, the trace level and colour, the copyright count, the account directory (a root that
// request paths may reach) and the messages collected for the page. One request, one thread.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "web/template/variable_table.h"

namespace web {

struct CTemplateSettings {
  std::string home;                        // home directory
  std::string tempDir;                     // the extension's temporary directory
  std::string webrootDir;                  // `webrootdir`: file-system directory of the web files
  std::string kaldorAlias = "kaldor.dll";  // URL path of the extension
  long admDelay = 300;                     // seconds a session identifier stays valid
  std::string oemName = "Kestrum Works";   // branding company name (copyright notice)
  std::string oemSoft = "Quorvale";        // branding product name (X-Mailer)
  std::string domain;                      // the main mail domain
};

// One message for the in-queue.
struct OutgoingMail {
  std::string from, replyTo, subject;
  std::vector<std::string> to, cc, bcc;  // each entry may hold several addresses (";" or ",")
  std::string text;                      // the first text part
  std::string textFile;                  // a file whose content follows the text in the same part
  std::string attachFile;  // a file attached under `attachName` (its base name when empty)
  std::string attachName;
};

// Results of QueueMail.
constexpr int kMailNoRecipient = -1;
constexpr int kMailCannotOpen = -2;
constexpr int kMailEnvelope = -3;

// A program to start. With a shell: `commandLine` runs as a shell command line. Without: `argv`
// is the program and its arguments, passed as they are (no shell sees them).
struct ProgramCall {
  bool useShell = true;
  std::string commandLine;
  std::vector<std::string> argv;
  std::string directory;
  bool wait = false;
};

class ITemplateHost {
 public:
  virtual ~ITemplateHost() = default;
  virtual void WriteBrowser(std::string_view text) = 0;
  virtual const CTemplateSettings& Settings() const = 0;
  // 0 queued, or kMailNoRecipient / kMailCannotOpen / kMailEnvelope. `messagePath` gets the
  // queued message file.
  virtual int QueueMail(const OutgoingMail& mail, std::string* messagePath);
  // 0 started (and ended, with `wait`), -1 not started.
  virtual int RunProgram(const ProgramCall& call);
  virtual time_t Now() const { return std::time(nullptr); }
};

struct CTemplateRequest {
  explicit CTemplateRequest(ITemplateHost* h) : host(h) {}
  ITemplateHost* host;
  CVariableTable vars;
  int traceLevel = 0;
  std::string traceColor = "#008000";
  int copyrightCount = 0;  // uses of (*_copyright*); preset 1 asks for the notice, 2 suppresses it
  std::string accountDir;  // directory of the page's account, when one is selected
  std::string messages;    // messages collected for the page
  bool stopped = false;    // a failed CHECK stopped every template of the page
};

}  // namespace web
