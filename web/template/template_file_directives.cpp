// The directives that reach outside the page: sessions and logins, mail, INI files, programs and
// link menus.
#include <cstdio>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "store/account.h"
#include "store/store_paths.h"
#include "web/template/ini_text.h"
#include "web/template/link_menu.h"
#include "web/template/outgoing_mail.h"
#include "web/template/session_id.h"
#include "web/template/template_run_internal.h"

namespace web {

namespace {

bool IsCondition(std::string_view name) {
  return EqualNoCase(name, "IF") || EqualNoCase(name, "EQ") || EqualNoCase(name, "NEQ") ||
         EqualNoCase(name, "LT") || EqualNoCase(name, "GT");
}

// An account name that names one directory under MAILIN and nothing else.
bool PlainAccountName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 127) return false;
  return name.find_first_of("/\\\r\n") == std::string::npos;
}

std::string StoredPassword(const std::string& home, const std::string& account) {
  std::string ini =
      platform::ResolvePath(platform::JoinPath(store::MailboxDir(home, account), "MAILBOX.INI"));
  return store::UnscramblePassword(platform::GetProfileString(ini, "SETUP", "pwd", ""));
}

}  // namespace

void CTemplateRun::DoSession(const Directive& d) {
  if (Flag(d, "SEND", 1, 1) == 0) return;
  std::string id;
  if (MakeSessionId(Text(d, "UNAME", ""), Text(d, "PWORD", ""), 1, host_.Now(), &id) != 0) {
    EmitBrowser("Session initilization error.<BR>");
    return;
  }
  const Attribute* mailbox = d.Find("MAILBOX");
  std::string acc = mailbox != nullptr ? mailbox->Value() : std::string();
  if (mailbox != nullptr && mailbox->ValueOrigin() == Origin::kRequest) {
    acc = EscapeRequestText(acc);
  }
  Emit("<INPUT NAME=\"_jid\" TYPE=\"hidden\" VALUE=\"" + id +
       "\"><INPUT NAME=\"_acc\" TYPE=\"hidden\" VALUE=\"" + acc + "\">");
  req_.vars.Set("_jid", id);
}

CTemplateRun::After CTemplateRun::DoCheck(const Directive& d) {
  const std::string& home = host_.Settings().home;
  auto fail = [&](const std::string& message) {
    EmitBrowser(message);
    req_.stopped = true;
    return After::kEnd;
  };
  if (d.Find("LOGIN") != nullptr && Flag(d, "LOGIN", 0, 1) != 0) {
    std::string user = Text(d, "UNAME", "");
    std::string errmsg = Text(d, "ERRMSG", "<BR>Invalid login. Please retry<BR>");
    if (!PlainAccountName(user)) return fail(errmsg);
    std::string stored = StoredPassword(home, user);
    if (stored.empty() || stored != Text(d, "PWORD", "")) return fail(errmsg);
    return After::kContinue;
  }
  if (d.Find("SESSION") != nullptr && Flag(d, "SESSION", 0, 1) != 0) {
    SessionData s;
    int rc = DecodeSessionId(req_.vars.Get("_jid"), host_.Settings().admDelay, host_.Now(), &s);
    if (rc != kSessionValid) {
      return fail(Text(d, "ERRMSG", "<BR>Session cannot be validated. Please retry<BR>"));
    }
    std::string user = s.user == "{0}" ? std::string() : s.user;
    std::string password = s.password == "{0}" ? std::string() : s.password;
    std::string vuname = Text(d, "VUNAME", "");
    std::string vpword = Text(d, "VPWORD", "");
    // The names in a session may have come from a form: they are request text.
    if (!vuname.empty()) req_.vars.Set(vuname, user, Origin::kRequest);
    if (!vpword.empty()) req_.vars.Set(vpword, password, Origin::kRequest);
    if (!PlainAccountName(user) || StoredPassword(home, user) != password) {
      return fail("<BR>Invalid login. Please retry<BR>");
    }
  }
  return After::kContinue;
}

void CTemplateRun::DoSendMail(const Directive& d) {
  OutgoingMail mail;
  mail.to.push_back(Text(d, "TO", ""));
  mail.cc.push_back(Text(d, "CC", ""));
  mail.bcc.push_back(Text(d, "BCC", ""));
  mail.from = Text(d, "FROM", "");
  mail.replyTo = Text(d, "REPLYTO", mail.from);
  mail.subject = Text(d, "SUBJECT", "");
  mail.text = Text(d, "BODYTEXT", "");
  if (!Text(d, "BODYFILE", "").empty()) {
    mail.textFile = FilePath(d, "BODYFILE", "");
    if (mail.textFile.empty()) return;
  }
  if (!Text(d, "ATTACH", "").empty()) {
    mail.attachFile = FilePath(d, "ATTACH", "");
    if (mail.attachFile.empty()) return;
  }
  int rc = host_.QueueMail(mail, nullptr);
  if (rc == kMailNoRecipient) {
    EmitBrowser("You must specify recipent's address(es)<BR>");
  } else if (rc != 0) {
    EmitBrowser("Could not open message file!<BR>");
  }
}

void CTemplateRun::DoIniLoad(const Directive& d) {
  std::string section = Text(d, "SECTION", "");
  if (section.empty() || section == "*") return;
  std::string file = FilePath(d, "FILE", "");
  if (file.empty()) return;
  long keySize = Integer(d, "KEYSIZE", 1025);
  if (keySize < 1025) keySize = 1025;
  size_t maxLen = static_cast<size_t>(keySize) - 1;
  platform::CIniDocument doc;
  if (platform::LoadProfile(file, &doc) != 0) return;
  // What INI files hold may have been saved from a form: it is request text.
  auto set = [&](const std::string& key, const std::string& value, Origin origin) {
    if (key.empty()) return;
    req_.vars.Set(key, DecodeIniLineBreaks(value.substr(0, maxLen)), origin);
  };
  std::string keys = Text(d, "KEYS", "*");
  if (keys.empty() || keys[0] != '*') {
    for (const auto& [key, value] : doc.SectionEntries(section)) set(key, value, Origin::kRequest);
  }
  bool afterKeys = d.Find("KEYS") == nullptr;
  for (const Attribute& a : d.attrs) {
    if (EqualNoCase(a.name, "KEYS")) {
      afterKeys = true;
      continue;
    }
    if (!afterKeys || IsCondition(a.name) || EqualNoCase(a.name, "FILE") ||
        EqualNoCase(a.name, "SECTION") || EqualNoCase(a.name, "KEYSIZE")) {
      continue;
    }
    std::optional<std::string> v = doc.Get(section, a.name);
    if (v) {
      set(a.name, *v, Origin::kRequest);
    } else {
      set(a.name, a.Value(), a.ValueOrigin());
    }
  }
}

void CTemplateRun::DoIniSave(const Directive& d) {
  std::string section = Text(d, "SECTION", "");
  if (section.empty() || section == "*") return;
  std::string file = FilePath(d, "FILE", "");
  if (file.empty()) return;
  std::string keys = Text(d, "KEYS", "*");
  std::vector<std::pair<std::string, std::string>> extra;
  bool afterKeys = d.Find("KEYS") == nullptr;
  for (const Attribute& a : d.attrs) {
    if (EqualNoCase(a.name, "KEYS")) {
      afterKeys = true;
      continue;
    }
    if (!afterKeys || IsCondition(a.name) || EqualNoCase(a.name, "FILE") ||
        EqualNoCase(a.name, "SECTION")) {
      continue;
    }
    std::string v = a.Value();
    extra.emplace_back(a.name, v.empty() ? req_.vars.Get(a.name) : v);
  }
  const CVariableTable& vars = req_.vars;
  // One read-modify-replace under the file's lock: two requests cannot lose each other's keys.
  (void)platform::UpdateProfile(file, [&](platform::CIniDocument* doc) {
    if (EqualNoCase(keys, "create")) {
      for (size_t i = 0; i < vars.Size(); ++i) {
        const Variable& v = vars.At(i);
        if (!v.name.empty() && v.name[0] != '_') {
          doc->Set(section, v.name, EncodeIniLineBreaks(v.value));
        }
      }
    } else if (keys.empty() || keys[0] != '*') {
      for (const auto& [key, value] : doc->SectionEntries(section)) {
        const Variable* v = vars.Find(key);
        if (v != nullptr) {
          doc->Set(section, key, EncodeIniLineBreaks(v->value));
        } else {
          doc->DeleteKey(section, key);
        }
      }
    }
    for (const auto& [key, value] : extra) doc->Set(section, key, EncodeIniLineBreaks(value));
  });
}

void CTemplateRun::DoSystem(const Directive& d) {
  const Attribute* cmd = d.Find("CMD");
  if (cmd == nullptr) return;
  ProgramCall call;
  call.wait = Flag(d, "WAIT", 0, 1) != 0;
  call.directory = host_.Settings().home;
  // Split the command into words, remembering which words hold request text. Request text never
  // names the program; as an argument it is passed as it is, with no shell to interpret it.
  std::vector<std::string> words;
  std::vector<bool> fromRequest;
  bool inWord = false;
  for (const Piece& piece : cmd->pieces) {
    if (piece.origin == Origin::kRequest) {
      if (!inWord) {
        words.emplace_back();
        fromRequest.push_back(false);
        inWord = true;
      }
      words.back() += piece.text;
      fromRequest.back() = true;
      continue;
    }
    for (char c : piece.text) {
      if (c == ' ' || c == '\t') {
        inWord = false;
        continue;
      }
      if (!inWord) {
        words.emplace_back();
        fromRequest.push_back(false);
        inWord = true;
      }
      words.back() += c;
    }
  }
  if (words.empty()) return;
  if (fromRequest[0]) {
    EmitBrowser("<BR>Command refused<BR>");
    return;
  }
  bool anyRequest = false;
  for (bool r : fromRequest) anyRequest = anyRequest || r;
  if (anyRequest) {
    call.useShell = false;
    call.argv = words;
  } else {
    call.useShell = true;
    call.commandLine = cmd->Value();
  }
  (void)host_.RunProgram(call);
}

void CTemplateRun::DoLink(const Directive& d) {
  const Attribute* url = d.Find("URL");
  const Attribute* txt = d.Find("TXT");
  const Attribute* rem = d.Find("REM");
  auto setVar = [&](const char* name, const Attribute* a) {
    req_.vars.Set(name, a != nullptr ? a->Value() : std::string(),
                  a != nullptr ? a->ValueOrigin() : Origin::kProgram);
  };
  LinkChange change;
  change.menu = Text(d, "MENU", "");
  change.remove = Flag(d, "DEL", 1, 0) == 0;
  setVar("_url", url);
  setVar("_txt", txt);
  setVar("_rem", rem);
  if (!change.remove) req_.vars.Set("_menu", change.menu);
  if (url != nullptr) {
    // Lines hold the URL as it was written into them (escaped when it is request text).
    change.removeText =
        url->ValueOrigin() == Origin::kRequest ? EscapeRequestText(url->Value()) : url->Value();
  }
  std::string page = FilePath(d, "PAGE", "");
  if (page.empty()) return;
  platform::CLockFile lock;
  if (LockFileFor(page, &lock) != 0) {
    EmitBrowser("Cannot open file [" + EscapeRequestText(page) + "]");
    return;
  }
  std::string text;
  if (!platform::FileExists(page) && platform::WriteFileAtomic(page, "") != 0) {
    EmitBrowser("Cannot open file [" + EscapeRequestText(page) + "]");
    return;
  }
  if (platform::ReadWholeFile(page, &text) != 0) {
    EmitBrowser("Cannot open file [" + EscapeRequestText(page) + "]");
    return;
  }
  std::string rewritten;
  auto expand = [this](const std::string& format) {
    std::string line;
    ExpandInto(format, &line);
    return line;
  };
  if (RewriteLinkMenu(text, change, expand, &rewritten) != 0) {
    EmitBrowser("<BR>Menu [" + EscapeRequestText(change.menu) + "] not found in [" +
                EscapeRequestText(page) + "]<BR>");
    return;
  }
  // The new page goes to "<name>.tmp"; the old one is kept as "<name>.bak".
  std::string tmp = platform::ReplaceExtension(page, "tmp");
  std::string bak = platform::ReplaceExtension(page, "bak");
  platform::CFile out;
  if (out.Open(tmp, platform::FileMode::kWrite) != 0 || out.Write(rewritten) != 0 ||
      out.Sync() != 0) {
    out.Close();
    platform::RemoveFile(tmp);
    EmitBrowser("Cannot open file [" + EscapeRequestText(tmp) + "]");
    return;
  }
  out.Close();
  platform::RemoveFile(bak);
  if (platform::LinkFile(page, bak) != 0 || platform::RenameFile(tmp, page) != 0) {
    platform::RemoveFile(tmp);
    EmitBrowser("Cannot open file [" + EscapeRequestText(page) + "]");
  }
}

}  // namespace web
