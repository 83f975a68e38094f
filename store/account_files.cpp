#include "store/account_files.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <map>

#include "core/locked_ini.h"
#include "core/message_sink.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "store/store_paths.h"
#include "store/line_file.h"
#include "store/message_text.h"

namespace store {
namespace {

constexpr size_t kFlatLineMax = 511;
constexpr char kSetup[] = "SETUP";
constexpr char kList[] = "LIST";
constexpr char kInfo[] = "INFO";

const char kAliasesHeader[] = "#Version=300\r\n#Alias: [blanks] Account (delimited with :)\r\n";
const char kRedirectHeader[] =
    "#Version=300\r\n#Server v3\r\n#Account IsForward IsCopy Reserved ToAddress (delimited with "
    "TAB)\r\n";
const char kReplyHeader[] = "#Version=300\r\n#Account IsReply Filename (delimited with TAB)\r\n";
const char kListHeader[] =
    "#Version=300\r\n#Account IsList IsModerated ModeratorAddress DiscardMessages AutoSubscribe "
    "ReadOnly (delimited with TAB)\r\n";

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t tab = line.find('\t', pos);
    out.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
    if (tab == std::string::npos) return out;
    pos = tab + 1;
  }
}

std::string Star(const std::string& s) { return s.empty() ? "*" : s; }
std::string Unstar(const std::string& s) { return s == "*" ? std::string() : s; }
int Int(const std::string& s) { return static_cast<int>(platform::ParseDecimal(s)); }

// Reads every line of a flat file (comments left out); false when it cannot be opened.
bool ReadLines(const std::string& path, std::vector<std::string>* lines, bool* readError) {
  CLineFile in;
  *readError = false;
  if (in.Open(path, platform::FileMode::kRead) != 0) return false;
  std::string line;
  int rc;
  while ((rc = in.ReadLine(&line, kFlatLineMax)) == 0) {
    if (!line.empty() && line[0] == '#') continue;
    lines->push_back(line);
  }
  *readError = rc != kErrEndOfFile;
  return true;
}

int GetInt(const platform::CIniDocument& doc, const char* section, const char* key, int def) {
  auto v = doc.Get(section, key);
  return v ? Int(*v) : def;
}
std::string GetText(const platform::CIniDocument& doc, const char* section, const char* key,
                    const std::string& def = std::string()) {
  return doc.Get(section, key).value_or(def);
}

// The records of a MEMBERS.INI block: the text after each "<index>=" line.
std::vector<std::string> BlockRecords(const std::string& text, const std::string& block,
                                      bool* found) {
  std::vector<std::string> records;
  *found = false;
  bool inside = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!inside) {
      if (line == "[" + block + "]") inside = *found = true;
      continue;
    }
    if (!line.empty() && line[0] == '[') break;
    if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;  // "n=..."
    size_t sep = line.find_first_of("= \t");
    if (sep == std::string::npos) continue;
    records.push_back(line.substr(sep + 1));
  }
  return records;
}

void FormatInto(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void FormatInto(std::string* out, const char* format, ...) {
  char buf[2048];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0) out->append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

std::string AliasBlock(const CAccount& a) {
  std::string out = "\r\n[ALIAS]\r\n";
  std::vector<const AliasRecord*> live;
  for (const AliasRecord& r : a.aliases)
    if (!r.deleted) live.push_back(&r);
  FormatInto(&out, "n=%zu\r\n", live.size());
  for (size_t i = 0; i < live.size(); ++i) {
    FormatInto(&out, "%zu=%s\t%s@%s\r\n", i, Star(live[i]->comment).c_str(), live[i]->local.c_str(),
               live[i]->domain.c_str());
  }
  return out + "[END_ALIAS]\r\n";
}

// A member field as one field of one line: tabs and line ends become blanks.
std::string MemberField(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string MembersBlock(const std::vector<MemberRecord>& members) {
  std::string out = "[MEMBERS]\r\n";
  FormatInto(&out, "n=%zu\r\n", members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    out += std::to_string(i) + "=" + Star(MemberField(members[i].name)) + "\t" +
           MemberField(members[i].address) + "\t" + std::to_string(members[i].state) + "\r\n";
  }
  return out + "[END_MEMBERS]\r\n";
}

std::vector<MemberRecord> MembersOf(const std::string& text) {
  std::vector<MemberRecord> members;
  bool found = false;
  for (const std::string& rec : BlockRecords(text, "MEMBERS", &found)) {
    std::vector<std::string> f = SplitTabs(rec);
    MemberRecord m;
    m.name = Unstar(f[0]);
    if (f.size() > 1) m.address = f[1];
    if (f.size() > 2) m.state = Int(f[2]);
    if (!m.address.empty()) members.push_back(std::move(m));
  }
  return members;
}

// Replaces `path` with `content`, keeping the previous file as `bak`.
int ReplaceKeepingBackup(const std::string& path, const std::string& bak, const std::string& content) {
  std::string temp = path + ".new";
  if (platform::WriteFileAtomic(temp, content) != 0) return -1;
  (void)platform::RemoveFile(bak);
  if (platform::FileExists(path) && platform::LinkFile(path, bak) != 0) {
    (void)platform::RenameFile(path, bak);
  }
  return platform::RenameFile(temp, path);
}

}  // namespace

int RewriteMembersBlock(const std::string& membersIni, const std::string& block,
                        const std::string& content, bool sync) {
  std::string old;
  bool exists = platform::ReadWholeFile(membersIni, &old) == 0;
  std::string out;
  bool placed = false, skipping = false, lastEmpty = false;
  size_t pos = 0;
  while (exists && pos < old.size()) {
    size_t nl = old.find('\n', pos);
    std::string line = old.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? old.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (skipping) {
      if (!line.empty() && line[0] == '[') {
        skipping = false;
        if (line == "[END_" + block + "]") continue;  // the block's own end line goes with it
      } else {
        continue;
      }
    }
    if (line == "[" + block + "]") {
      skipping = true;
      out += content;
      placed = true;
      lastEmpty = false;
      continue;
    }
    if (line.empty() && lastEmpty) continue;  // runs of empty lines collapse to one
    lastEmpty = line.empty();
    out += line + "\r\n";
  }
  if (!placed) out += content;
  std::string dir = platform::DirName(membersIni);
  std::string temp = platform::JoinPath(dir, "MEMBERS.TMP");
  if (platform::WriteFileAtomic(temp, out, sync) != 0) return -1;
  std::string bak = platform::ResolvePath(platform::JoinPath(dir, "MEMBERS.BAK"));
  (void)platform::RemoveFile(bak);
  if (exists && platform::LinkFile(membersIni, bak) != 0) (void)platform::RenameFile(membersIni, bak);
  return platform::RenameFile(temp, membersIni) == 0 ? 0 : -1;
}

int ReadMembersFile(const std::string& membersIni, std::vector<MemberRecord>* members) {
  std::string text;
  members->clear();
  if (platform::ReadWholeFile(membersIni, &text) != 0) return platform::FileExists(membersIni) ? -1 : 0;
  *members = MembersOf(text);
  return 0;
}

int WriteMembersFile(const std::string& membersIni, const std::vector<MemberRecord>& members) {
  return RewriteMembersBlock(membersIni, "MEMBERS", MembersBlock(members));
}

CAccountFiles::CAccountFiles(std::string home, core::CMessageSink& sink)
    : home_(std::move(home)), sink_(sink) {}

std::string CAccountFiles::Flat(const char* name) const {
  return platform::ResolvePath(platform::JoinPath(home_, name));
}

std::string CAccountFiles::MailboxDir(const std::string& account) const {
  return store::MailboxDir(home_, account);
}

void CAccountFiles::ReadAccountList(CAccountTable* table, bool fromPasswd) {
  std::vector<std::string> lines;
  bool readError = false;
  ReadLines(Flat(fromPasswd ? "passwd" : "mailbox.cfg"), &lines, &readError);
  for (const std::string& line : lines) {
    size_t colon = line.find(':');
    if (line.empty() || line[0] == ':' || colon == std::string::npos) continue;
    CAccount a;
    a.name = line.substr(0, std::min(colon, kMaxAccountName));
    if (table->FindAccount(a.name)) continue;  // a name differing only in case
    size_t next = line.find(':', colon + 1);
    if (next != std::string::npos) {
      a.vacation = next + 1 < line.size() && line[next + 1] == '1';
      size_t typeAt = line.find(':', next + 1);
      if (typeAt != std::string::npos) a.type = Int(line.substr(typeAt + 1));
    }
    table->Accounts().push_back(std::move(a));
  }
}

void CAccountFiles::LoadAccountFiles(CAccount* a, FlatNeeds* needs) {
  std::string dir = MailboxDir(a->name);
  (void)platform::MakeDirectoryTree(dir);
  core::CLockedIniFile ini(platform::JoinPath(dir, "MAILBOX.INI"));
  platform::CIniDocument doc;
  (void)ini.ReadDocument(&doc);

  a->msgSize = GetInt(doc, kInfo, "msgsize", 0);
  a->msgNmbr = GetInt(doc, kInfo, "msgnmbr", 0);
  a->boxSize = GetInt(doc, kInfo, "boxsize", 0);

  std::string display = GetText(doc, kSetup, "name", "*");
  needs->replyAndRedirect = !display.empty() && display[0] == '*';
  a->displayName = needs->replyAndRedirect ? std::string() : display;
  a->addressText = GetText(doc, kSetup, "adrs");
  a->maxMsgSize = GetInt(doc, kSetup, "maxmsgsize", 0);
  a->maxMsgNmbr = GetInt(doc, kSetup, "maxmsgnmbr", 0);
  a->maxBoxSize = GetInt(doc, kSetup, "maxboxsize", 0);
  a->kaldorIn = GetInt(doc, kSetup, "kaldorin", -1);
  a->webUsage = GetInt(doc, kSetup, "webusage", 0);
  a->pop3Client = GetInt(doc, kSetup, "pop3client", 0);
  a->webABook = GetInt(doc, kSetup, "webabook", 0);
  a->vacation = GetInt(doc, kSetup, "Vacation", a->vacation);
  if (auto plain = doc.Get(kSetup, "Password")) {
    // A password set in clear text is scrambled into pwd at once: it does not stay on disk
    // until the next save.
    a->password = plain->substr(0, kMaxPassword);
    (void)ini.UpdateDocument([&](platform::CIniDocument* d) {
      d->Set(kSetup, "pwd", a->password.empty() ? std::string() : ScramblePassword(a->password));
      d->DeleteKey(kSetup, "Password");
    });
  } else {
    a->password = UnscramblePassword(GetText(doc, kSetup, "pwd")).substr(0, kMaxPassword);
  }
  a->isList = GetInt(doc, kSetup, "MailingList", a->type == kAccountList);
  a->isGate = GetInt(doc, kSetup, "MailingGate", a->type == kAccountGate);
  a->autoCopy = GetInt(doc, kSetup, "AutoCopy", 0);
  a->autoForward = GetInt(doc, kSetup, "AutoForward", 0);
  a->autoReply = GetInt(doc, kSetup, "AutoReply", 0);
  a->forwardAddresses = GetText(doc, kSetup, "AutoForwardAddress");
  a->autoReplyFile = GetText(doc, kSetup, "AutoReplyFilename");

  needs->list = GetInt(doc, kList, "version", 0) < 2;
  a->moderated = GetInt(doc, kList, "Moderated", 0);
  a->discard = GetInt(doc, kList, "DiscardMessage", 0);
  a->readOnly = GetInt(doc, kList, "ReadOnly", 0);
  a->subscribeSender = GetInt(doc, kList, "SubscribeSender", 0);
  a->listSubsConf = GetInt(doc, kList, "MailListSubsConf", 0);
  a->listSubsCmd = GetInt(doc, kList, "MailListSubsCmd", 0);
  a->hasFiles = GetInt(doc, kList, "HasFiles", 0);
  a->publicFiles = GetInt(doc, kList, "IsPublicFiles", 0);
  a->moderator = GetText(doc, kList, "Moderator");
  a->listAddress = GetText(doc, kList, "MailListAddress");
  a->docsPath = GetText(doc, kList, "DocsPath");

  std::string members;
  std::string membersPath = platform::ResolvePath(platform::JoinPath(dir, "MEMBERS.INI"));
  (void)platform::ReadWholeFile(membersPath, &members);
  bool found = false;
  for (const std::string& rec : BlockRecords(members, "ALIAS", &found)) {
    std::vector<std::string> f = SplitTabs(rec);
    if (f.size() >= 2) a->AddAlias(f[1], Unstar(f[0]));
  }
  needs->aliases = !found;
  a->members = MembersOf(members);
  // Older files keep some list options in a section "options" of MEMBERS.INI.
  platform::CIniDocument options(members);
  if (options.HasSection("options")) {
    a->listSubsCmd = GetInt(options, "options", "0", a->listSubsCmd);
    a->listAddress = GetText(options, "options", "1", a->listAddress);
    a->docsPath = GetText(options, "options", "2", a->docsPath);
    a->hasFiles = GetInt(options, "options", "3", a->hasFiles);
    a->publicFiles = GetInt(options, "options", "4", a->publicFiles);
    needs->list = true;  // the next save moves them into MAILBOX.INI
  }
  a->type = a->DerivedType();
}

void CAccountFiles::ReadAliases(CAccountTable* table) {
  std::vector<std::string> lines;
  if (!ReadFlatFile(Flat("aliases"), "aliases", false, &lines)) return;
  for (const std::string& line : lines) {
    if (line.find('@') == std::string::npos) continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string alias = line.substr(0, std::min(colon, kMaxAliasPart));
    size_t start = line.find_first_not_of(" \t", colon + 1);
    if (start == std::string::npos) continue;
    std::string name = line.substr(start, kMaxAccountName);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    if (CAccount* a = table->FindAccount(name)) a->AddAlias(alias);
  }
}

bool CAccountFiles::ReadFlatFile(const std::string& path, const char* label, bool reportOpen,
                                std::vector<std::string>* lines) {
  bool readError = false;
  if (!ReadLines(path, lines, &readError)) {
    if (reportOpen && platform::FileExists(path)) {
      sink_.Error(std::string("Error while opening setup file (") + label + ").");
    }
    return false;
  }
  if (readError) sink_.Error(std::string("Error while reading setup file (") + label + ").");
  return true;
}

void CAccountFiles::ReadListFile(CAccountTable* table) {
  std::vector<std::string> lines;
  if (!ReadFlatFile(Flat("list.cfg"), "list.cfg", false, &lines)) return;
  for (const std::string& line : lines) {
    std::vector<std::string> f = SplitTabs(line);
    CAccount* a = table->FindAccount(f[0]);
    if (!a || f.size() < 7) continue;
    a->isList = Int(f[1]);
    a->moderated = Int(f[2]);
    a->moderator = Unstar(f[3]);
    a->discard = Int(f[4]);
    a->subscribeSender = Int(f[5]);
    a->readOnly = Int(f[6]);
    if (a->subscribeSender) {
      a->moderated = 0;
      a->readOnly = 1;
    }
    a->type = a->DerivedType();
  }
}

void CAccountFiles::ReadRedirect(CAccountTable* table, const std::string& path) {
  std::vector<std::string> lines;
  if (!ReadFlatFile(path, "redirect.cfg", true, &lines)) return;
  for (const std::string& line : lines) {
    std::vector<std::string> f = SplitTabs(line);
    CAccount* a = table->FindAccount(f[0]);
    if (!a || f.size() < 3) continue;
    a->autoCopy = Int(f[1]);
    a->autoForward = Int(f[2]);
    std::string to = f.size() > 4 ? f[4] : std::string();
    if (to.empty() || to == "*") {
      a->autoCopy = a->autoForward = 0;
      to.clear();
    }
    if (a->autoCopy && a->autoForward) a->autoForward = 0;  // a copy wins: nothing is lost
    a->forwardAddresses = to;
  }
}

void CAccountFiles::ReadReply(CAccountTable* table) {
  std::vector<std::string> lines;
  if (!ReadFlatFile(Flat("reply.cfg"), "reply.cfg", true, &lines)) return;
  for (const std::string& line : lines) {
    std::vector<std::string> f = SplitTabs(line);
    CAccount* a = table->FindAccount(f[0]);
    if (!a || f.size() < 3) continue;
    a->autoReply = Int(f[1]);
    a->autoReplyFile = Unstar(f[2]);
    if (a->autoReplyFile.empty()) a->autoReply = 0;
  }
}

int CAccountFiles::Load(CAccountTable* out) {
  core::CLockedIniFile lock(platform::JoinPath(home_, "USER.INI"));
  lock.SetRetryForTest(retryLimit_, retryPauseMs_);
  if (lock.BeginForLoadOrSave(sink_) != 0) return -1;

  bool fromPasswd = !platform::FileExists(Flat("mailbox.cfg"));
  std::string redirect = Flat("redirect.cfg");
  bool fromForward = !platform::FileExists(redirect) && platform::FileExists(Flat("forward.cfg"));
  if (fromForward) redirect = Flat("forward.cfg");

  CAccountTable table;
  ReadAccountList(&table, fromPasswd);
  // Which accounts still need which flat file, by name.
  std::map<std::string, FlatNeeds> needs;
  bool anyReply = false, anyAliases = false, anyList = false;
  for (CAccount& a : table.Accounts()) {
    FlatNeeds n;
    LoadAccountFiles(&a, &n);
    anyReply |= n.replyAndRedirect;
    anyAliases |= n.aliases;
    anyList |= n.list;
    needs[a.name] = n;
  }
  // The flat files fill only what an account's own files lack.
  auto onlyNeeding = [&](bool FlatNeeds::*need, auto reader) {
    CAccountTable scratch = table;
    (this->*reader)(&scratch);
    for (size_t i = 0; i < table.Accounts().size(); ++i) {
      if (needs[table.Accounts()[i].name].*need) table.Accounts()[i] = scratch.Accounts()[i];
    }
  };
  if (anyAliases) onlyNeeding(&FlatNeeds::aliases, &CAccountFiles::ReadAliases);
  bool flatRead = anyAliases && platform::FileExists(Flat("aliases"));

  std::string postmasterDomain = domain_;
  if (CAccount* master = table.FindAccount(kMasterAccount)) {
    for (const char* local : {"master", "Postmaster", "MAILER-DAEMON"}) {
      master->AddAlias(std::string(local) + "@" + postmasterDomain);
    }
  }
  bool createdDefault = false;
  if (!table.FindAccount(kDefaultAccount)) {
    CAccount def;
    def.name = kDefaultAccount;
    FlatNeeds n;
    LoadAccountFiles(&def, &n);
    table.Accounts().push_back(std::move(def));
    createdDefault = true;
  }
  if (anyList) {
    onlyNeeding(&FlatNeeds::list, &CAccountFiles::ReadListFile);
    flatRead |= platform::FileExists(Flat("list.cfg"));
  }
  if (anyReply) {
    CAccountTable scratch = table;
    ReadRedirect(&scratch, redirect);
    ReadReply(&scratch);
    for (size_t i = 0; i < table.Accounts().size(); ++i) {
      if (needs[table.Accounts()[i].name].replyAndRedirect) table.Accounts()[i] = scratch.Accounts()[i];
    }
    flatRead |= platform::FileExists(redirect) || platform::FileExists(Flat("reply.cfg"));
  }
  if (!flatRead) {
    if (const CAccount* master = table.FindAccount(kMasterAccount)) (void)SaveAccountFiles(*master);
  }
  if (createdDefault) (void)SaveAccountFiles(*table.FindAccount(kDefaultAccount));
  lock.EndHeldLock();

  *out = std::move(table);
  if (flatRead || fromPasswd || fromForward) {
    (void)Save(*out, /*quiet=*/true);
    if (fromForward) (void)platform::RemoveFile(Flat("forward.cfg"));
  }
  return 0;
}

int CAccountFiles::SaveCounters(const std::string& name, int msgNmbr, int boxSizeKbytes) {
  std::string dir = MailboxDir(name);
  if (!platform::DirectoryExists(dir)) return -1;
  core::CLockedIniFile ini(platform::JoinPath(dir, "MAILBOX.INI"));
  return ini.UpdateDocument(
      [&](platform::CIniDocument* doc) {
        doc->Set(kInfo, "msgnmbr", std::to_string(msgNmbr));
        doc->Set(kInfo, "boxsize", std::to_string(boxSizeKbytes));
      },
      /*sync=*/false);
}

int CAccountFiles::SaveAccountFiles(const CAccount& a, bool sync) {
  std::string dir = MailboxDir(a.name);
  if (platform::MakeDirectoryTree(dir) != 0) return -1;
  core::CLockedIniFile ini(platform::JoinPath(dir, "MAILBOX.INI"));
  int rc = ini.UpdateDocument([&](platform::CIniDocument* doc) {
    auto set = [&](const char* section, const char* key, const std::string& v) {
      doc->Set(section, key, v);
    };
    auto num = [&](const char* section, const char* key, long v) {
      doc->Set(section, key, std::to_string(v));
    };
    num(kInfo, "msgsize", a.msgSize);
    num(kInfo, "msgnmbr", a.msgNmbr);
    num(kInfo, "boxsize", a.boxSize);
    num(kSetup, "version", 2);
    // An empty value would delete the key, and a missing name reads as "*" (not converted):
    // a blank keeps the key and reads back as empty.
    set(kSetup, "name", a.displayName.empty() ? std::string(" ") : a.displayName);
    set(kSetup, "adrs", a.addressText);
    num(kSetup, "maxmsgsize", a.maxMsgSize);
    num(kSetup, "maxmsgnmbr", a.maxMsgNmbr);
    num(kSetup, "maxboxsize", a.maxBoxSize);
    num(kSetup, "kaldorin", a.kaldorIn);
    num(kSetup, "webusage", a.webUsage);
    num(kSetup, "pop3client", a.pop3Client);
    num(kSetup, "webabook", a.webABook);
    num(kSetup, "Vacation", a.vacation);
    set(kSetup, "Account", a.name);
    doc->DeleteKey(kSetup, "Password");
    set(kSetup, "pwd", a.password.empty() ? std::string() : ScramblePassword(a.password));
    num(kSetup, "MailingList", a.isList);
    num(kSetup, "MailingGate", a.isGate);
    num(kSetup, "AutoCopy", a.autoCopy);
    num(kSetup, "AutoForward", a.autoForward);
    num(kSetup, "AutoReply", a.autoReply);
    set(kSetup, "AutoForwardAddress", a.forwardAddresses);
    set(kSetup, "AutoReplyFilename", a.autoReplyFile);
    num(kList, "version", 2);
    num(kList, "Moderated", a.moderated);
    num(kList, "DiscardMessage", a.discard);
    num(kList, "ReadOnly", a.readOnly);
    num(kList, "SubscribeSender", a.subscribeSender);
    num(kList, "MailListSubsConf", a.listSubsConf);
    num(kList, "MailListSubsCmd", a.listSubsCmd);
    num(kList, "HasFiles", a.hasFiles);
    num(kList, "IsPublicFiles", a.publicFiles);
    set(kList, "Moderator", a.moderator);
    set(kList, "MailListAddress", a.listAddress);
    set(kList, "DocsPath", a.docsPath);
  }, sync);
  std::string members = platform::ResolvePath(platform::JoinPath(dir, "MEMBERS.INI"));
  if (RewriteMembersBlock(members, "ALIAS", AliasBlock(a), sync) != 0) rc = -1;
  if ((a.isList || !a.members.empty()) &&
      RewriteMembersBlock(members, "MEMBERS", MembersBlock(a.members), sync) != 0) {
    rc = -1;
  }
  // The older "options" section has moved into MAILBOX.INI.
  platform::CIniDocument doc;
  if (platform::LoadProfile(members, &doc) == 0 && doc.HasSection("options")) {
    (void)platform::DeleteProfileSection(members, "options");
  }
  return rc;
}

int CAccountFiles::WriteFlatFiles(const CAccountTable& table) {
  std::string mailbox, passwd, aliases = kAliasesHeader, redirect = kRedirectHeader,
                                reply = kReplyHeader, list = kListHeader;
  for (const CAccount& a : table.Accounts()) {
    if (a.deleted) continue;
    const char* n = a.name.c_str();
    FormatInto(&mailbox, "%s:%s:%d:%d:0:0:0:0:0:0\r\n", n, "*", a.vacation, a.DerivedType());
    FormatInto(&passwd, "%s:::::%s\r\n", n, n);
    for (const AliasRecord& r : a.aliases) {
      if (r.deleted) continue;
      FormatInto(&aliases, "\r\n%s@%s:\t%s\r\n", r.local.c_str(), r.domain.c_str(), n);
      FormatInto(&aliases, "\r\n%s:\t%s\r\n", r.local.c_str(), n);
    }
    if (a.autoCopy || a.autoForward || !a.forwardAddresses.empty()) {
      FormatInto(&redirect, "%s\t%d\t%d\t%d\t%s\r\n", n, a.autoCopy, a.autoForward, 0,
                 Star(a.forwardAddresses).c_str());
    }
    if (a.autoReply || !a.autoReplyFile.empty()) {
      FormatInto(&reply, "%s\t%d\t%s\r\n", n, a.autoReply, Star(a.autoReplyFile).c_str());
    }
    if (a.isList || (a.moderated && !a.moderator.empty()) || a.discard || a.subscribeSender ||
        a.readOnly) {
      FormatInto(&list, "%s\t%d\t%d\t%s\t%d\t%d\t%d\r\n", n, a.isList, a.moderated,
                 Star(a.moderator).c_str(), a.discard, a.subscribeSender, a.readOnly);
    }
  }
  const std::pair<const char*, const std::string*> files[] = {
      {"mailbox", &mailbox}, {"passwd", &passwd}, {"aliases", &aliases},
      {"redirect", &redirect}, {"reply", &reply}, {"list", &list}};
  int rc = 0;
  for (const auto& [stem, content] : files) {
    std::string name = std::string(stem) + (std::string(stem) == "passwd" || std::string(stem) == "aliases" ? "" : ".cfg");
    if (ReplaceKeepingBackup(Flat(name.c_str()), Flat((std::string(stem) + ".bak").c_str()),
                             *content) != 0) {
      rc = -1;
    }
  }
  return rc;
}

int CAccountFiles::Save(const CAccountTable& table, bool quiet) {
  core::CLockedIniFile lock(platform::JoinPath(home_, "USER.INI"));
  lock.SetRetryForTest(retryLimit_, retryPauseMs_);
  if (lock.BeginForLoadOrSave(sink_) != 0) return -1;
  int rc = WriteFlatFiles(table);
  for (const CAccount& a : table.Accounts()) {
    if (!a.deleted && SaveAccountFiles(a, /*sync=*/false) != 0) rc = -1;
  }
  // One flush for all the account files written above, before the save reports success.
  if (platform::SyncFileSystem(home_) != 0) rc = -1;
  lock.EndHeldLock();
  if (!quiet && onSaved_) onSaved_();
  return rc;
}

}  // namespace store
