#include "web/template/template_engine.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "web/template/template_run_internal.h"

namespace web {

namespace {

enum { kOption, kCheckbox, kRadio };

constexpr char kSetRefusal[] = "<BR>Variable starting with \"_\" cannot be SET<BR>";

}  // namespace

std::string CopyrightNotice(const CTemplateSettings& settings, int year) {
  return "Copyright &copy; " + std::to_string(year) + " " + settings.oemName +
         ". All rights reserved.";
}

std::vector<std::string> AllowedRoots(const CTemplateRequest& req) {
  const CTemplateSettings& s = req.host->Settings();
  std::vector<std::string> roots;
  if (!s.webrootDir.empty()) roots.push_back(platform::NormaliseSeparators(s.webrootDir));
  if (!s.home.empty()) roots.push_back(platform::ResolvePath(platform::JoinPath(s.home, "kaldor")));
  if (!req.accountDir.empty()) roots.push_back(req.accountDir);
  return roots;
}

int RunTemplate(CTemplateRequest& req, const std::string& templatePath,
                const std::string& outputPath, bool append, bool toBrowser) {
  CReplacedFile out;
  if (!outputPath.empty() && out.Open(outputPath, append) != 0) {
    req.messages += "Cannot open file [" + EscapeRequestText(outputPath) + "]<BR>";
    return -1;
  }
  CTemplateRun run(req, templatePath, toBrowser, outputPath.empty() ? nullptr : &out, 0);
  int rc = run.Run();
  if (!outputPath.empty()) {
    if (rc == 0) {
      if (out.Commit() != 0) {
        req.messages += "Cannot open file [" + EscapeRequestText(outputPath) + "]<BR>";
        return -1;
      }
    } else {
      out.Abandon();
    }
  }
  return rc;
}

CTemplateRun::CTemplateRun(CTemplateRequest& req, std::string path, bool toBrowser,
                           CReplacedFile* out, int depth)
    : req_(req),
      host_(*req.host),
      path_(std::move(path)),
      toBrowser_(toBrowser),
      out_(out),
      depth_(depth) {
  path_ = platform::NormaliseSeparators(path_);
  dir_ = platform::DirName(path_);
  name_ = platform::BaseName(path_);
}

int CTemplateRun::Run() {
  std::string text;
  std::string resolved = platform::ResolvePath(path_);
  if (depth_ > kMaxTemplateDepth) {
    req_.messages += "Templates nested too deep [" + EscapeRequestText(name_) + "]<BR>";
    EmitBrowser("<BR>Templates nested too deep [" + EscapeRequestText(name_) + "]<BR>");
    return -1;
  }
  if (platform::FileSize(resolved) > static_cast<int64_t>(kMaxTemplateSize) ||
      platform::ReadWholeFile(resolved, &text) != 0) {
    req_.messages += "Cannot open file [" + EscapeRequestText(path_) + "]<BR>";
    return -1;
  }
  size_t pos = 0;
  while (pos < text.size() && !req_.stopped) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    if (end - pos > kMaxLine) end = pos + kMaxLine;  // a longer line is taken in pieces
    ++line_;
    std::string_view line(text.data() + pos, end - pos);
    pos = end;
    ProcessLine(line);
    if (ended_) break;
  }
  return 0;
}

void CTemplateRun::Emit(std::string_view text) {
  if (text.empty()) return;
  if (toBrowser_) host_.WriteBrowser(text);
  if (out_ != nullptr) (void)out_->Write(text);
}

void CTemplateRun::EmitBrowser(std::string_view text) {
  if (toBrowser_) host_.WriteBrowser(text);
}

const Variable* CTemplateRun::Lookup(const Reference& ref) const {
  const Variable* v;
  if (ref.indexed && inRepeat_) {
    const Variable* index = req_.vars.Find(std::string_view(&ref.index, 1));
    std::string name = ref.name + "[" + (index != nullptr ? index->value : std::string()) + "]";
    v = req_.vars.Find(name);
  } else {
    v = ref.name.find('.') == std::string::npos ? req_.vars.Find(ref.name) : nullptr;
  }
  if (v != nullptr && EqualNoCase(ref.name, "_copyright")) ++req_.copyrightCount;
  return v;
}

Piece CTemplateRun::Resolve(const Reference& ref) const {
  Piece piece;
  const Variable* v = Lookup(ref);
  if (v == nullptr) {
    piece.text = "(*" + ref.name.substr(0, kMaxShownName) + "*)";
    return piece;
  }
  piece.text = v->value;
  piece.origin = v->origin;
  return piece;
}

void CTemplateRun::AppendReference(const Reference& ref, std::string* out) const {
  const Variable* v = Lookup(ref);
  if (v == nullptr) {
    out->append("(*").append(std::string_view(ref.name).substr(0, kMaxShownName)).append("*)");
  } else if (v->origin == Origin::kRequest) {
    AppendEscaped(v->value, out);
  } else {
    out->append(v->value);
  }
}

void CTemplateRun::ExpandText(std::string_view text) {
  std::string out;
  ExpandInto(text, &out);
  Emit(out);
}

void CTemplateRun::ExpandInto(std::string_view text, std::string* out) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t ref = text.find("(*", pos);
    if (ref == std::string_view::npos) {
      out->append(text.substr(pos));
      return;
    }
    out->append(text.substr(pos, ref - pos));
    Reference r;
    if (ScanReference(text, ref, &r)) {
      AppendReference(r, out);
      pos = r.end;
    } else {
      out->append("(*");
      pos = ref + 2;
    }
  }
}

void CTemplateRun::ProcessLine(std::string_view line) {
  size_t pos = 0;
  ReferenceResolver resolve = [this](const Reference& r) { return Resolve(r); };
  Directive d;
  while (pos < line.size()) {
    size_t ref = line.find("(*", pos);
    size_t dir = line.find("<!--ISW ", pos);
    size_t next = std::min(ref, dir);
    if (next == std::string_view::npos) {
      Emit(line.substr(pos));
      return;
    }
    Emit(line.substr(pos, next - pos));
    if (next == ref) {
      Reference r;
      if (ScanReference(line, ref, &r)) {
        scratch_.clear();
        AppendReference(r, &scratch_);
        Emit(scratch_);
        pos = r.end;
      } else {
        Emit("(*");
        pos = ref + 2;
      }
      continue;
    }
    size_t end = 0;
    if (!ParseDirective(line, dir, resolve, &d, &end)) {
      Emit("<");
      pos = dir + 1;
      continue;
    }
    if (!ConditionHolds(d) || d.tag.empty()) return;
    if (req_.traceLevel > 0) Trace(d);
    After after = Execute(d);
    if (after == After::kSkipLine) return;
    if (after == After::kEnd || req_.stopped) {
      ended_ = true;
      return;
    }
    pos = end;
  }
}

bool CTemplateRun::ConditionHolds(const Directive& d) const {
  const Attribute* ifAttr = d.Find("IF");
  if (ifAttr == nullptr) return true;
  std::string v = ifAttr->Value();
  if (const Attribute* a = d.Find("EQ")) return v == a->Value();
  if (const Attribute* a = d.Find("NEQ")) return v != a->Value();
  if (const Attribute* a = d.Find("LT")) return v.compare(a->Value()) <= 0;
  if (const Attribute* a = d.Find("GT")) return v.compare(a->Value()) >= 0;
  return !v.empty();
}

std::string CTemplateRun::Text(const Directive& d, std::string_view name, std::string_view def) {
  const Attribute* a = d.Find(name);
  return a == nullptr ? std::string(def) : a->Value();
}

long CTemplateRun::Integer(const Directive& d, std::string_view name, long def) {
  const Attribute* a = d.Find(name);
  return a == nullptr ? def : platform::ParseDecimal(a->Value());
}

long CTemplateRun::Flag(const Directive& d, std::string_view name, long absent, long present) {
  const Attribute* a = d.Find(name);
  if (a == nullptr) return absent;
  std::string v = a->Value();
  return v.empty() ? present : platform::ParseDecimal(v);
}

bool CTemplateRun::FromRequest(const Directive& d, std::string_view name) {
  const Attribute* a = d.Find(name);
  return a != nullptr && a->ValueOrigin() == Origin::kRequest;
}

std::string CTemplateRun::ResolvePathText(const std::string& value) const {
  std::string p = platform::NormaliseSeparators(value);
  if (p.find('/') != std::string::npos && p[0] != '.') return p;
  return platform::JoinPath(dir_.empty() ? "." : dir_, p);
}

bool CTemplateRun::PathAllowed(const std::string& path) const {
  std::string resolved = platform::ResolvePath(path);
  return PathInsideRoots(resolved, AllowedRoots(req_)) && !ProtectedFileName(resolved);
}

std::string CTemplateRun::FilePath(const Directive& d, std::string_view name,
                                   std::string_view def) {
  std::string value = Text(d, name, def);
  if (value.empty() || value == "*") return value;
  std::string path = ResolvePathText(value);
  if (FromRequest(d, name) && !PathAllowed(path)) {
    EmitBrowser("Cannot open file [" + EscapeRequestText(value) + "]<BR>");
    return std::string();
  }
  return platform::ResolvePath(path);
}

CTemplateRun::After CTemplateRun::Execute(const Directive& d) {
  const std::string& t = d.tag;
  if (EqualNoCase(t, "READ")) return After::kContinue;
  if (EqualNoCase(t, "SKIP") || EqualNoCase(t, "REM")) return After::kSkipLine;
  if (EqualNoCase(t, "END")) return After::kEnd;
  if (EqualNoCase(t, "SET"))
    DoSet(d);
  else if (EqualNoCase(t, "DUMP"))
    DoDump(d);
  else if (EqualNoCase(t, "INCLUDE"))
    DoInclude(d);
  else if (EqualNoCase(t, "MERGE"))
    DoMerge(d);
  else if (EqualNoCase(t, "OPTION"))
    DoOption(d, kOption);
  else if (EqualNoCase(t, "CHECKBOX"))
    DoOption(d, kCheckbox);
  else if (EqualNoCase(t, "RADIO"))
    DoOption(d, kRadio);
  else if (EqualNoCase(t, "REPEAT"))
    DoRepeat(d);
  else if (EqualNoCase(t, "SESSION"))
    DoSession(d);
  else if (EqualNoCase(t, "CHECK"))
    return DoCheck(d);
  else if (EqualNoCase(t, "SENDMAIL"))
    DoSendMail(d);
  else if (EqualNoCase(t, "INI-LOAD"))
    DoIniLoad(d);
  else if (EqualNoCase(t, "INI-SAVE"))
    DoIniSave(d);
  else if (EqualNoCase(t, "SYSTEM"))
    DoSystem(d);
  else if (EqualNoCase(t, "DEBUG"))
    DoDebug(d);
  else if (EqualNoCase(t, "LINK"))
    DoLink(d);
  // Any other name (CSV, TXT2HTML, LIST, FILE, FILE-APPEND...) does nothing and leaves nothing.
  return After::kContinue;
}

void CTemplateRun::Trace(const Directive& d) {
  auto shown = [](std::string_view text, const char* blank) {
    std::string out = EscapeRequestText(text);
    std::string r;
    for (char c : out) {
      if (c == ' ') {
        r += blank;
      } else {
        r += c;
      }
    }
    return r;
  };
  char head[160];
  std::snprintf(head, sizeof head, "<BR><TT><FONT COLOR=\"%s\"><B>%s(%ld)</B> &lt;",
                req_.traceColor.c_str(), EscapeRequestText(name_).c_str(), line_);
  std::string echo = head;
  echo += shown(d.text, "&nbsp;") + "--&gt;";
  if (req_.traceLevel >= 2) {
    for (const Attribute& a : d.attrs) {
      char name[64];
      std::snprintf(name, sizeof name, "%-10s", a.name.substr(0, 40).c_str());
      std::string n = name;
      for (char& c : n) {
        if (c == ' ') c = '.';
      }
      echo += "<BR><B>" + EscapeRequestText(n) + "</B>=\"" + EscapeRequestText(a.Value()) + "\"";
    }
  }
  echo += "</FONT></TT><BR>";
  EmitBrowser(echo);
}

void CTemplateRun::DoSet(const Directive& d) {
  // The first attribute after the name; conditions are not variables.
  for (const Attribute& a : d.attrs) {
    if (EqualNoCase(a.name, "IF") || EqualNoCase(a.name, "EQ") || EqualNoCase(a.name, "NEQ") ||
        EqualNoCase(a.name, "LT") || EqualNoCase(a.name, "GT")) {
      continue;
    }
    if (a.name[0] == '_') {
      EmitBrowser(kSetRefusal);
      return;
    }
    req_.vars.Set(a.name, a.Value(), a.ValueOrigin());
    return;
  }
}

void CTemplateRun::DoDump(const Directive& d) {
  std::string path = FilePath(d, "FILE", "*");
  if (path.empty() || path == "*") return;
  std::string content;
  if (platform::FileSize(path) > static_cast<int64_t>(kMaxTemplateSize) ||
      platform::ReadWholeFile(path, &content) != 0) {
    return;
  }
  for (size_t i = 0; i < content.size(); i += 255) {
    Emit(std::string_view(content).substr(i, 255));
  }
}

void CTemplateRun::DoInclude(const Directive& d) {
  std::string path = FilePath(d, "FILE", "*");
  if (path.empty() || path == "*") return;
  CTemplateRun inner(req_, path, toBrowser_, out_, depth_ + 1);
  (void)inner.Run();
}

void CTemplateRun::DoMerge(const Directive& d) {
  std::string path = FilePath(d, "TEMPLATE", "*");
  if (path.empty() || path == "*") return;
  std::string write;
  if (d.Find("WRITE") != nullptr && !Text(d, "WRITE", "").empty()) {
    write = FilePath(d, "WRITE", "");
    if (write.empty()) return;
  }
  bool append = Flag(d, "APPEND", 0, 1) != 0;
  bool browser = Flag(d, "BROWSER", 0, 1) != 0;
  CReplacedFile out;
  if (!write.empty() && out.Open(write, append) != 0) {
    req_.messages += "Cannot open file [" + EscapeRequestText(write) + "]<BR>";
    return;
  }
  CTemplateRun inner(req_, path, browser, write.empty() ? nullptr : &out, depth_ + 1);
  if (inner.Run() == 0 && !write.empty()) (void)out.Commit();
}

void CTemplateRun::DoOption(const Directive& d, int kind) {
  const Attribute* nameAttr = d.Find("NAME");
  const Attribute* valueAttr = d.Find("VALUE");
  std::string name = nameAttr != nullptr ? nameAttr->Value() : std::string();
  std::string value = valueAttr != nullptr ? valueAttr->Value() : std::string();
  const char* selectName = kind == kOption ? "SELECT" : "CHECK";
  std::string selected;
  if (const Attribute* s = d.Find(selectName)) {
    selected = s->Value();
  } else {
    selected = req_.vars.Get(name);
  }
  bool on = selected == value;
  // Names and values may be request text: they go into the page escaped.
  std::string safeName = nameAttr != nullptr && nameAttr->ValueOrigin() == Origin::kRequest
                             ? EscapeRequestText(name)
                             : name;
  std::string safeValue = valueAttr != nullptr && valueAttr->ValueOrigin() == Origin::kRequest
                              ? EscapeRequestText(value)
                              : value;
  if (kind == kOption) {
    Emit(std::string("<OPTION") + (on ? " SELECTED" : "") + ">" + safeValue);
  } else {
    Emit(std::string("<INPUT TYPE=") + (kind == kCheckbox ? "checkbox" : "radio") +
         " NAME=" + safeName + " VALUE=" + safeValue + (on ? " CHECKED" : "") + ">");
  }
}

void CTemplateRun::DoRepeat(const Directive& d) {
  std::string var = Text(d, "VAR", "_n");
  if (var.empty()) var = "_n";
  long long from = Integer(d, "FROM", 0);
  long long to = Integer(d, "TO", 0);
  bool stepGiven = d.Find("INC") != nullptr;
  long long step = stepGiven ? Integer(d, "INC", 0) : (from < to ? 1 : -1);
  std::string fmt = Text(d, "FMT", "");
  // The counter runs while it is at most TO. Loops that this rule would never end are bounded:
  // a zero step runs one round; a negative step counts down while the counter is at least TO,
  // except the implicit step of FROM above TO, which runs no round (nothing to count up to).
  bool down = step < 0 && (stepGiven || from == to);
  long rounds = 0;
  bool wasInRepeat = inRepeat_;
  inRepeat_ = true;
  long long c = from;
  while (down ? c >= to : c <= to) {
    if (++rounds > kMaxRepeatRounds || req_.stopped) break;
    req_.vars.Set(var, std::to_string(c));
    ExpandText(fmt);
    if (step == 0 || __builtin_add_overflow(c, step, &c)) break;
  }
  inRepeat_ = wasInRepeat;
}

void CTemplateRun::DoDebug(const Directive& d) {
  long var = platform::ParseDecimal(Text(d, "VAR", "0"));
  // Every DEBUG sets the trace: TRACE absent is level 0, COLOR absent the default green.
  req_.traceColor = Text(d, "COLOR", "#008000").substr(0, 7);
  req_.traceLevel = static_cast<int>(Flag(d, "TRACE", 0, 1));
  if (var < 1) return;
  std::string list = "\n<PRE>\n";
  for (const Variable* v = req_.vars.First(); v != nullptr; v = req_.vars.Next()) {
    list += "(*" + EscapeRequestText(v->name) + "*)=";
    if (var >= 2) list += EscapeRequestText(v->value);
    list += "\n";
  }
  list += "\n</PRE>\n";
  Emit(list);
}

}  // namespace web
