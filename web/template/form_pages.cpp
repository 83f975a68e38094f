#include "web/template/form_pages.h"

#include <cctype>
#include <cstdio>
#include <unordered_map>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/envelope.h"
#include "store/queue_files.h"
#include "store/store_paths.h"
#include "web/template/ini_text.h"
#include "web/template/outgoing_mail.h"
#include "web/template/safe_files.h"
#include "web/template/template_engine.h"

namespace web {

namespace {

bool PlainName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 127) return false;
  return name.find_first_of("/\\\r\n") == std::string::npos;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string DateTime(time_t now) {
  std::tm t = platform::LocalTime(now);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%d - %02d:%02d:%02d", t.tm_mday, t.tm_mon + 1,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

int Year(time_t now) { return platform::LocalTime(now).tm_year + 1900; }

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

void AppendNotice(CTemplateRequest& req, time_t now) {
  req.host->WriteBrowser("\n<FONT SIZE=-1>" + CopyrightNotice(req.host->Settings(), Year(now)) +
                         "</FONT><BR>\n");
}

std::string AccountDir(const CTemplateSettings& s, const std::string& account) {
  if (!PlainName(account)) return std::string();
  std::string dir = store::MailboxDir(s.home, account);
  return platform::DirectoryExists(dir) ? dir : std::string();
}

// A path named by a form field: refused with ".."; "\" is "/"; a leading "/" is taken under the
// web root, anything else under the account's directory. "" when refused or outside the roots.
std::string FormPath(CTemplateRequest& req, const std::string& value) {
  if (value.empty() || value.find("..") != std::string::npos) return std::string();
  std::string p = platform::NormaliseSeparators(value.substr(0, kMaxFormPath));
  const CTemplateSettings& s = req.host->Settings();
  std::string path;
  if (p[0] == '/') {
    if (s.webrootDir.empty()) return std::string();
    path = platform::NormaliseSeparators(s.webrootDir) + p;
  } else {
    if (req.accountDir.empty()) return std::string();
    path = platform::JoinPath(req.accountDir, p);
  }
  path = platform::ResolvePath(path);
  return PathInsideRoots(path, AllowedRoots(req)) && !ProtectedFileName(path) ? path
                                                                              : std::string();
}

void ShowFrame(CTemplateRequest& req, const char* which, const std::string& title) {
  TemplatePage frame;
  frame.name = which;
  frame.title = title;
  int keep = req.copyrightCount;
  req.copyrightCount = 2;  // the frame pieces never get a notice of their own
  (void)ShowTemplatePage(req, frame);
  req.copyrightCount = keep;
}

void ShowErrors(CTemplateRequest& req, const std::string& title, const std::string& messages) {
  ShowFrame(req, "theaders", title);
  req.host->WriteBrowser(messages);
  ShowFrame(req, "tfooters", title);
}

// Replaces "(*name*)" in a field value by the decoded value of the field of that name.
// The fields by lower-case name (names are unique without regard to case).
using FieldIndex = std::unordered_map<std::string, const std::string*>;

FieldIndex IndexFields(const FormFields& fields) {
  FieldIndex index;
  index.reserve(fields.size());
  for (const auto& [n, v] : fields) index.emplace(platform::ToLower(n), &v);
  return index;
}

// What the references of one submission may insert altogether: as much as the largest body. A
// body of one large field and many references to it would otherwise expand a thousandfold (a
// 200 KB request made the host take 2 GB).
constexpr size_t kMaxInsertedText = 1024 * 1024;

// Replaces "(*name*)" in a field value by the decoded value of the field of that name while
// `*budget` allows; a reference to a missing field, or one the budget no longer allows, stays as
// written.
std::string ReplaceFieldReferences(const std::string& value, const FieldIndex& fields,
                                   size_t* budget) {
  std::string out;
  size_t pos = 0;
  while (pos < value.size()) {
    size_t open = value.find("(*", pos);
    if (open == std::string::npos) break;
    size_t close = value.find("*)", open + 2);
    if (close == std::string::npos) break;
    auto it = fields.find(platform::ToLower(value.substr(open + 2, close - open - 2)));
    const std::string* found = it == fields.end() ? nullptr : it->second;
    out += value.substr(pos, open - pos);
    if (found != nullptr && found->size() <= *budget) {
      out += *found;
      *budget -= found->size();
    } else {
      out += value.substr(open, close + 2 - open);
    }
    pos = close + 2;
  }
  out += value.substr(pos);
  return out;
}

}  // namespace

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

FormFields DecodeFormFields(std::string_view text) {
  FormFields fields;
  std::unordered_map<std::string, size_t> seen;  // lower-case name -> field: linear in the fields
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) amp = text.size();
    std::string_view item = text.substr(pos, amp - pos);
    size_t eq = item.find('=');
    if (eq != std::string_view::npos) {
      std::string name(item.substr(0, std::min<size_t>(eq, 127)));
      std::string value = UrlDecode(item.substr(eq + 1));
      auto [it, added] = seen.emplace(platform::ToLower(name), fields.size());
      if (added) {
        fields.emplace_back(name, std::move(value));
      } else {
        fields[it->second].second = std::move(value);
      }
    }
    pos = amp + 1;
  }
  return fields;
}

int ValidateField(const std::string& name, std::string* value, std::string* messages) {
  if (name.size() < 3 || name[2] != '_') return 0;
  char need = name[0], kind = name[1];
  if ((need != 'o' && need != 'r') || (kind != 't' && kind != 'a' && kind != 'n')) return 0;
  std::string label = EscapeRequestText(name.substr(3));
  std::string v = Trim(*value);
  auto fail = [&](const char* format) {
    char buf[512];
    std::snprintf(buf, sizeof buf, format, label.substr(0, 200).c_str());
    *messages += buf;
    return -1;
  };
  if (v.empty()) {
    return need == 'r' ? fail("The field [<B>%s</B>] cannot be empty.<BR>") : 0;
  }
  auto plain = [](const std::string& s) {
    for (char c : s) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_') return false;
    }
    return true;
  };
  if (kind == 'n') {
    size_t i = v[0] == '+' || v[0] == '-' ? 1 : 0;
    if (i == v.size()) return fail("The field [<B>%s</B>] must be a valid <B>number</B>.<BR>");
    for (; i < v.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(v[i]))) {
        return fail("The field [<B>%s</B>] must be a valid <B>number</B>.<BR>");
      }
    }
    *value = v;
  } else if (kind == 'a') {
    size_t at = v.find('@');
    if (!plain(v.substr(0, at))) {
      return fail(
          "The field [<B>%s</B>] must be a valid <B>Email address</B> (error in name@).<BR>");
    }
    if (at == std::string::npos) {
      return fail(
          "The field [<B>%s</B>] must be a valid <B>Email address</B> (@domain missing).<BR>");
    }
    if (!plain(v.substr(at + 1))) {
      return fail(
          "The field [<B>%s</B>] must be a valid <B>Email address</B> (error in @domain).<BR>");
    }
    *value = v;
  }
  return 0;
}

int FormFormatOf(const std::string& text) {
  std::string t = Lower(Trim(text));
  if (t.size() == 1 && t[0] >= '0' && t[0] <= '6') return t[0] - '0';
  if (t == "ini") return kFormatIni;
  if (t == "csv") return kFormatCsv;
  if (t == "tab") return kFormatTab;
  if (t == "gate") return kFormatGate;
  if (t == "pager") return kFormatPager;
  return kFormatMail;
}

int ShowTemplatePage(CTemplateRequest& req, const TemplatePage& page) {
  const CTemplateSettings& s = req.host->Settings();
  CVariableTable& v = req.vars;
  time_t now = req.host->Now();
  v.Set("datetime", DateTime(now));
  v.Set("_copyright", CopyrightNotice(s, Year(now)));
  if (!page.session.empty()) {
    std::string alias = s.kaldorAlias;
    v.Set("user_login", alias + "?Login");
    v.Set("master_login", alias + "?Master");
    v.Set("form_param",
          "ACTION=" + alias + "?" + page.command + " METHOD=\"POST\" ENCTYPE=\"" +
              (page.upload ? "multipart/form-data" : "application/x-www-form-urlencoded") + "\"");
    // The account may come from a request: it goes into the control escaped.
    v.Set("form_control", "<INPUT NAME=\"_jid\" TYPE=\"hidden\" VALUE=\"" +
                              EscapeRequestText(page.session) +
                              "\"><INPUT NAME=\"_acc\" TYPE=\"hidden\" VALUE=\"" +
                              EscapeRequestText(page.account) + "\">");
    v.Set("is_master", page.isMaster ? "1" : "0");
    v.Set("_acc", page.account, Origin::kRequest);
  }
  std::string profile = "Limited";
  std::string accountDir = AccountDir(s, page.account);
  if (!accountDir.empty()) {
    profile = platform::GetProfileString(
        platform::ResolvePath(platform::JoinPath(accountDir, "MAILBOX.INI")), "SETUP", "pageprof",
        "Limited", 15);
    if (!PlainName(profile)) profile = "Limited";
  }
  std::string kaldor = platform::ResolvePath(platform::JoinPath(s.home, "kaldor"));
  std::string profileDir = platform::ResolvePath(platform::JoinPath(kaldor, profile));
  v.Set("form_title", page.title);
  v.Set("form_profile", profile);
  v.Set("form_template", page.name);
  v.Set("form_path", profileDir);
  v.Set("root_path", s.home);

  std::string file = page.name;
  if (!platform::FileExists(platform::ResolvePath(file))) {
    file = platform::ResolvePath(platform::JoinPath(profileDir, page.name + ".htm"));
    if (!platform::FileExists(file)) {
      file = platform::ResolvePath(platform::JoinPath(kaldor, page.name + ".htm"));
    }
  }
  int rc = RunTemplate(req, file);
  if (rc == 0 && req.copyrightCount == 1) AppendNotice(req, now);
  return rc;
}

int SubmitForm(CTemplateRequest& req, std::string_view query) {
  const CTemplateSettings& s = req.host->Settings();
  const std::string title = "Form submission";
  FormFields fields = DecodeFormFields(query);
  auto field = [&](const char* name) -> const std::string* {
    for (const auto& [n, v] : fields) {
      if (EqualNoCase(n, name)) return &v;
    }
    return nullptr;
  };
  std::string errors;
  const std::string* formName = field("_formname_");
  const std::string* account = field("_account_");
  if (formName == nullptr) errors += "[_formname_] variable missing.<BR>";
  if (account == nullptr) errors += "[_account_] variable missing.<BR>";
  if (!errors.empty()) {
    ShowErrors(req, title, errors);
    return 0;
  }
  std::string form = formName->substr(0, kMaxFormName);
  std::string acc = account->substr(0, kMaxFormName);
  bool validate = field("_validate_") != nullptr && *field("_validate_") == "1";
  req.accountDir = AccountDir(s, acc);
  if (req.accountDir.empty()) {
    ShowErrors(req, title, "Sorry! Account [" + EscapeRequestText(acc) + "] does not exist.<BR>");
    return 0;
  }
  std::string ini = platform::ResolvePath(platform::JoinPath(req.accountDir, "MAILBOX.INI"));
  std::string address = BareAddress(platform::GetProfileString(ini, "SETUP", "adrs", ""));
  if (address.empty()) address = acc;
  std::string addressLine = store::OneLine("<" + address + "> " + form);
  int format = field("_format_") != nullptr ? FormFormatOf(*field("_format_")) : kFormatMail;

  // MIM.TMP is the account's one data file: submissions to one account take turns.
  std::string dataPath = platform::ResolvePath(platform::JoinPath(req.accountDir, "MIM.TMP"));
  platform::CLockFile lock;
  if (LockFileFor(dataPath, &lock) != 0) {
    ShowErrors(req, title, "File open error [MIM.TMP].<BR>");
    return 0;
  }
  std::string data, subject, answer;
  std::string gateFrom, gateNumber, gateSubject, gateText;
  long count = 0;
  const FieldIndex byName = IndexFields(fields);
  size_t insertable = kMaxInsertedText;
  for (const auto& [name, raw] : fields) {
    std::string value = ReplaceFieldReferences(raw, byName, &insertable);
    if (EqualNoCase(name, "_subject_")) {
      subject = value.substr(0, kMaxFormSubject);
      continue;
    }
    if (EqualNoCase(name, "_answer_")) {
      answer = FormPath(req, value);
      continue;
    }
    if (name.empty() || name[0] == '_') continue;  // "_merge_" and the other controls
    if (validate) (void)ValidateField(name, &value, &errors);
    ++count;
    req.vars.SetRequest(name, value);
    if (format == kFormatMail) {
      data += "\r\n" + name + "=" + value;
    } else if (format == kFormatIni) {
      if (count == 1) data += "[DATA]";
      data += "\r\n" + name + "=" + EncodeIniLineBreaks(value);
    } else if (format == kFormatGate) {
      std::string n = Lower(name);
      if (n == "ra_from" || n == "oa_from" || n == "rt_from" || n == "ot_from") gateFrom = value;
      if (n == "rn_tono") gateNumber = value;
      if (n == "rt_subj" || n == "ot_subj") gateSubject = value;
      if (n == "rt_body") gateText = value;
    }
  }
  if (format == kFormatMail || format == kFormatIni) data += "\r\n";
  if (format == kFormatGate) {
    if (Trim(gateFrom).empty() || Trim(gateNumber).empty()) {
      errors += "Data missing. Please retry.<BR>";
    } else if (gateText.size() > kMaxPagerText) {
      errors += "Message too long (maximum 4096 characters).<BR>";
    } else {
      std::string from = store::OneLine(gateFrom);
      data = "[FROM]\r\ndate=" + DateTime(req.host->Now()) + "\r\nfrom=" + from +
             "\r\nreply-to=" + from + "\r\nsubject=" + store::OneLine(gateSubject) +
             "\r\n[GATE232]\r\nfrom=" + from + "\r\ntono=" + store::OneLine(gateNumber) +
             "\r\nsubj=" + store::OneLine(gateSubject) +
             "\r\nbody=" + EncodeIniLineBreaks(gateText) + "\r\n";
    }
  }
  if (!errors.empty()) {
    ShowErrors(req, title, errors);
    return 0;
  }
  if (platform::WriteFileAtomic(dataPath, data) != 0) {
    ShowErrors(req, title, "File open error [" + EscapeRequestText(dataPath) + "].<BR>");
    return 0;
  }

  // Delivery.
  int rc = 0;
  if (format == kFormatGate) {
    std::string inqueue = store::InqueueDir(s.home);
    std::string name;
    long first = store::NextSequenceNumber(inqueue);
    rc = first < 0 ? -1 : store::MakeUniqueFileName(&name, inqueue, "M", first, 1000, "INI");
    if (rc == 0) rc = platform::RenameFile(dataPath, platform::SiblingName(name, 'I'));
    if (rc != 0) errors += "Error while writing the message envelope.<BR>";
  } else {
    OutgoingMail mail;
    mail.from = addressLine;
    mail.replyTo = addressLine;
    mail.to.push_back(addressLine);
    mail.subject = subject.empty() ? "Web form filled: " + form : subject;
    mail.textFile = dataPath;
    rc = req.host->QueueMail(mail, nullptr);
    if (rc == kMailEnvelope || rc == kMailNoRecipient) {
      errors += "Error while writing the message envelope.<BR>";
    } else if (rc != 0) {
      errors += "Could not open message file!";
    }
  }
  if (!errors.empty()) {
    platform::RemoveFile(dataPath);
    ShowErrors(req, title, errors);
    return 0;
  }
  if (answer.empty()) {
    ShowFrame(req, "theaders", title);
    std::string shown = "The following data have been sent to <B>&lt;" +
                        EscapeRequestText(address) + "&gt; " + EscapeRequestText(form) +
                        "</B>\n<PRE>\n" + EscapeRequestText(data) + "\n</PRE>\n";
    req.host->WriteBrowser(shown);
    ShowFrame(req, "tfooters", title);
  } else {
    TemplatePage page;
    page.name = answer;
    page.title = title;
    page.account = acc;
    req.copyrightCount = 1;
    // The data went out; a missing answer page is still said.
    if (ShowTemplatePage(req, page) != 0) ShowErrors(req, title, req.messages);
  }
  platform::RemoveFile(dataPath);
  return 0;
}

int ProcessForm(CTemplateRequest& req, const FormFields& fields) {
  const CTemplateSettings& s = req.host->Settings();
  const std::string title = "Form processor";
  std::string errors;
  const std::string* account = nullptr;
  bool validate = false;
  for (const auto& [n, v] : fields) {
    if (EqualNoCase(n, "_account_")) account = &v;
    if (EqualNoCase(n, "_validate_")) validate = v == "1";
  }
  if (account == nullptr) {
    ShowErrors(req, title, "[_account_] variable missing.<BR>");
    return 0;
  }
  req.accountDir = AccountDir(s, *account);
  if (req.accountDir.empty()) {
    ShowErrors(req, title, "[" + EscapeRequestText(*account) + "] does not exists.<BR>");
    return 0;
  }
  std::string answer, outPage, outTemp;
  for (const auto& [name, raw] : fields) {
    std::string value = raw;
    if (EqualNoCase(name, "_answer_")) {
      answer = FormPath(req, value);
    } else if (EqualNoCase(name, "_outpage_")) {
      outPage = FormPath(req, value);
    } else if (EqualNoCase(name, "_outtemp_")) {
      outTemp = FormPath(req, value);
    } else if (validate && !name.empty() && name[0] != '_') {
      (void)ValidateField(name, &value, &errors);
    }
    req.vars.SetRequest(name, value);
  }
  if (!errors.empty()) {
    ShowErrors(req, title, errors);
    return 0;
  }
  time_t now = req.host->Now();
  req.vars.Set("datetime", DateTime(now));
  req.vars.Set("_copyright", CopyrightNotice(s, Year(now)));
  req.vars.Set("_account_", *account, Origin::kRequest);
  req.vars.Set("root", req.accountDir);
  if (answer.empty()) {
    ShowFrame(req, "theaders", title);
    std::string list = "\n<PRE>\n";
    for (const char* name : {"_answer_", "_outpage_", "_outtemp_"}) {
      std::string path = EqualNoCase(name, "_answer_")    ? answer
                         : EqualNoCase(name, "_outpage_") ? outPage
                                                          : outTemp;
      if (path.empty()) {
        list +=
            std::string("<B>") + name + "</B>=&gt; No filename. Format: [\\][path\\]filename.ext\n";
      }
    }
    for (size_t i = 0; i < req.vars.Size(); ++i) {
      const Variable& v = req.vars.At(i);
      list += EscapeRequestText(v.name) + "=" + PageText(v) + "\n";
    }
    list += "\n</PRE>\n";
    req.host->WriteBrowser(list);
    ShowFrame(req, "tfooters", title);
    return 0;
  }
  if (!outTemp.empty() && !outPage.empty()) {
    (void)RunTemplate(req, outTemp, outPage, false, false);
  }
  req.copyrightCount = 1;
  int rc = RunTemplate(req, answer);
  if (rc == 0 && req.copyrightCount == 1) AppendNotice(req, now);
  if (rc != 0) ShowErrors(req, title, req.messages);
  return 0;
}

}  // namespace web
