// One run of one template file: the line loop and the directives. Internal to the engine.
#pragma once

#include <string>
#include <string_view>

#include "web/template/safe_files.h"
#include "web/template/template_engine.h"
#include "web/template/template_parser.h"

namespace web {

class CTemplateRun {
 public:
  CTemplateRun(CTemplateRequest& req, std::string path, bool toBrowser, CReplacedFile* out,
               int depth);
  // 0, or -1 when the template cannot be opened.
  int Run();

 private:
  enum class After { kContinue, kSkipLine, kEnd };

  void ProcessLine(std::string_view line);
  // Text with references (and indexed references inside a REPEAT body), no directives.
  void ExpandText(std::string_view text);
  void ExpandInto(std::string_view text, std::string* out);
  Piece Resolve(const Reference& ref) const;
  const Variable* Lookup(const Reference& ref) const;
  // The reference's replacement, escaped when it is request text.
  void AppendReference(const Reference& ref, std::string* out) const;
  void Emit(std::string_view text);
  void EmitBrowser(std::string_view text);
  bool ConditionHolds(const Directive& d) const;
  After Execute(const Directive& d);
  void Trace(const Directive& d);

  // Attribute readers.
  static std::string Text(const Directive& d, std::string_view name, std::string_view def);
  static long Integer(const Directive& d, std::string_view name, long def);
  static long Flag(const Directive& d, std::string_view name, long absent, long present);
  static bool FromRequest(const Directive& d, std::string_view name);

  // A FILE/TEMPLATE/WRITE path: "\" to "/", relative to the template's directory unless it holds
  // "/" and does not begin with "."; "" when it comes from request text and leaves the roots.
  std::string FilePath(const Directive& d, std::string_view name, std::string_view def);
  std::string ResolvePathText(const std::string& value) const;
  bool PathAllowed(const std::string& path) const;

  void DoSet(const Directive& d);
  void DoDump(const Directive& d);
  void DoInclude(const Directive& d);
  void DoMerge(const Directive& d);
  void DoOption(const Directive& d, int kind);
  void DoRepeat(const Directive& d);
  void DoSession(const Directive& d);
  After DoCheck(const Directive& d);
  void DoSendMail(const Directive& d);
  void DoIniLoad(const Directive& d);
  void DoIniSave(const Directive& d);
  void DoSystem(const Directive& d);
  void DoDebug(const Directive& d);
  void DoLink(const Directive& d);

  CTemplateRequest& req_;
  ITemplateHost& host_;
  std::string path_, dir_, name_;
  bool toBrowser_;
  CReplacedFile* out_;
  int depth_;
  long line_ = 0;
  bool inRepeat_ = false;
  bool ended_ = false;   // END or a failed CHECK
  std::string scratch_;  // reused for each reference of a line
};

}  // namespace web
