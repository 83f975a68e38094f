#include "store/list_server.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/account_files.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/line_file.h"
#include "store/list_token.h"
#include "store/message_text.h"
#include "store/queue_item.h"
#include "store/store_paths.h"

namespace store {
namespace {

constexpr size_t kMaxWords = 20;
constexpr size_t kMaxCommandLine = 1024;
constexpr size_t kMaxTokenLine = 127;
// Failed commands of one request message that are answered; a message of many bad lines would
// otherwise make as many replies.
constexpr int kMaxFailedCommands = 5;
// Commands of one request message that are served. Each makes a message (a file, a confirmation
// request to the address it names, a syntax answer), so a message of many command lines would
// otherwise make as many messages, to its sender or to addresses of its choice.
constexpr int kMaxServedCommands = 20;

constexpr char kSubjectUndelivered[] = "[List] Error. Undelivered message";
constexpr char kSubjectUnprocessed[] = "[List] Error. Unprocessed command";
constexpr char kSubjectConfirmation[] = "[List] Confirmation";
constexpr char kSubjectSubscription[] = "[List] Subscription";

// Pieces of message lines are read this long; a line is copied whole whatever its length.
constexpr size_t kPiece = 65536;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ContainsNoCase(const std::string& text, const std::string& part) {
  return platform::ToLower(text).find(platform::ToLower(part)) != std::string::npos;
}

// A plain address "local@domain" that can stand as one word of a command line, in an envelope
// and in a header: the mailbox of `text`, or empty when it has none of that form.
std::string PlainAddress(const std::string& text) {
  std::string a = Trim(text);
  if (a.size() >= 2 && a.front() == '<' && a.back() == '>') a = a.substr(1, a.size() - 2);
  if (a.empty() || a.size() > 2 * kMaxAddressPart + 1) return std::string();
  size_t at = a.find('@');
  if (at == 0 || at == std::string::npos || at + 1 == a.size()) return std::string();
  for (char c : a) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '<' || c == '>' || c == ',' ||
        c == ';' || c == '\\' || c == 127) {
      return std::string();
    }
  }
  return a;
}

// A display name for a quoted header word or a command line: one line, no quotes.
std::string PlainName(const std::string& text) {
  std::string n = OneLine(text);
  n.erase(std::remove_if(
              n.begin(), n.end(),
              [](char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < ' '; }),
          n.end());
  return Trim(n.substr(0, 127));
}

// The name of a file of the documents path as a command gives it: one plain name, never a path.
bool SafeFileName(const std::string& name) {
  if (name.empty() || name.size() > 127) return false;
  if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
      name.find("..") != std::string::npos || name.find(':') != std::string::npos) {
    return false;
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < ' ' || c == 127) return false;
  }
  return true;
}

// The header field name of `line` ("subject" for "Subject: x"), lower case; empty for a
// continuation or a line without colon.
std::string FieldName(const std::string& line) {
  if (line.empty() || line[0] == ' ' || line[0] == '\t') return std::string();
  size_t colon = line.find(':');
  if (colon == std::string::npos) return std::string();
  return platform::ToLower(Trim(line.substr(0, colon)));
}

// A folded field as one line: its lines joined, the line ends dropped.
std::string Unfold(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l;
  return OneLine(out);
}

// The value of a header field (after the colon) unfolded.
std::string FieldValue(const std::vector<std::string>& lines) {
  std::string all = Unfold(lines);
  size_t colon = all.find(':');
  return colon == std::string::npos ? std::string() : all.substr(colon + 1);
}

// The "boundary" parameter of a Content-Type value, without quotes; empty when none.
std::string BoundaryOf(const std::string& value) {
  std::string lower = platform::ToLower(value);
  size_t p = lower.find("boundary=");
  if (p == std::string::npos) return std::string();
  std::string rest = value.substr(p + 9);
  if (!rest.empty() && rest[0] == '"') {
    size_t end = rest.find('"', 1);
    return rest.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  size_t end = rest.find_first_of("; \t");
  return rest.substr(0, end);
}

// Reads the header of a message as fields (each field its lines, without line ends).
// 0, or a line-file code.
int ReadHeader(CLineFile& in, std::vector<std::vector<std::string>>* fields) {
  std::string line;
  for (;;) {
    int rc = in.ReadLine(&line, kPiece);
    if (rc == kErrEndOfFile) return 0;
    if (rc != 0) return rc;
    if (line.empty()) return 0;
    if ((line[0] == ' ' || line[0] == '\t') && !fields->empty()) {
      fields->back().push_back(line);
    } else {
      fields->push_back({line});
    }
  }
}

// The list address of the account: its own setting, else "<name>@<primary domain>".
std::string ListAddressOf(const ListContext& ctx, const CAccount& list) {
  std::string a = PlainAddress(MailboxAddress(OneLine(list.listAddress)));
  return a.empty() ? platform::ToLower(list.name) + "@" + ctx.generated.primaryDomain : a;
}

// The owner's address; one without "@" is in the primary domain.
std::string OwnerOf(const ListContext& ctx, const CAccount& list) {
  std::string m = Trim(OneLine(list.moderator));
  if (m.empty()) return std::string();
  if (m.find('@') == std::string::npos) m += "@" + ctx.generated.primaryDomain;
  std::string a = PlainAddress(MailboxAddress(m));
  return a.empty() ? m : a;
}

std::string DaemonOf(const ListContext& ctx) {
  return ctx.daemonAddress.empty() ? "MAILER-DAEMON@" + ctx.generated.primaryDomain
                                   : ctx.daemonAddress;
}

void Log(const ListContext& ctx, const std::string& text) {
  if (ctx.log) ctx.log(text);
}

const MemberRecord* FindMember(const std::vector<MemberRecord>& members,
                               const std::string& address) {
  for (const MemberRecord& m : members) {
    if (platform::EqualNoCase(m.address, address)) return &m;
  }
  return nullptr;
}

int SaveMembers(const ListContext& ctx, const CAccount& list,
                const std::vector<MemberRecord>& members) {
  std::string path = MembersPath(ctx.generated.home, list.name);
  if (!platform::DirectoryExists(platform::DirName(path))) return -1;
  return WriteMembersFile(path, members);
}

int LoadMembers(const ListContext& ctx, const CAccount& list, std::vector<MemberRecord>* members) {
  return ReadMembersFile(MembersPath(ctx.generated.home, list.name), members);
}

// Copies the rest of `in` to `w` line by line with CR LF line ends.
int CopyRest(CLineFile& in, CItemWriter& w) {
  std::string piece, block;
  bool lineEnd = true;
  for (;;) {
    int rc = in.ReadLinePiece(&piece, kPiece, &lineEnd);
    if (rc == kErrEndOfFile) break;
    if (rc != 0) return rc;
    block += piece;
    if (lineEnd) block += "\r\n";
    if (block.size() >= kPiece) {
      if (w.Write(block) != 0) return kErrWrite;
      block.clear();
    }
  }
  return block.empty() || w.Write(block) == 0 ? 0 : kErrWrite;
}

// The archive copy: the message as received, in the mailbox the list address resolves to.
void Archive(const ListContext& ctx, const std::string& messageFile,
             const std::string& listAddress) {
  SplitResult parts = SplitMailbox(listAddress);
  std::string account;
  if (!ctx.generated.accounts->Snapshot()->LookupLocal(parts.local, parts.domain, &account)) return;
  std::string dir = MailboxDir(ctx.generated.home, account);
  if (!platform::DirectoryExists(platform::ResolvePath(dir))) return;
  CItemWriter w;
  platform::CFile in;
  if (in.Open(platform::ResolvePath(messageFile), platform::FileMode::kRead) != 0) return;
  if (w.Begin(dir, ItemKind::kMailbox, 100, /*lowerCase=*/true) != 0) return;
  char buf[65536];
  long n;
  while ((n = in.Read(buf, sizeof buf)) > 0) {
    if (w.Write(std::string_view(buf, static_cast<size_t>(n))) != 0) return;
  }
  if (n < 0 || w.Commit() != 0) Log(ctx, "List archive copy failed: " + OneLine(messageFile));
}

struct PostFacts {
  std::string listAddress, owner, sender, attribution;
  bool ownerReplies =
      false;  // a list that subscribes its posters: From and Reply-to name the owner
};

// Writes the post with its rewritten header. 1 when it carries this list's loop mark (not to be
// sent again), 0 written, or a line-file code.
int WritePost(const std::string& messageFile, const PostFacts& f, CItemWriter& w) {
  CLineFile in;
  if (int rc = in.Open(platform::ResolvePath(messageFile), platform::FileMode::kRead); rc != 0)
    return rc;
  std::vector<std::vector<std::string>> fields;
  if (int rc = ReadHeader(in, &fields); rc != 0) return rc;
  std::string head;
  bool encodedBody = false, multipart = false;
  for (const auto& field : fields) {
    std::string name = FieldName(field[0]);
    std::string value = FieldValue(field);
    if (name == "x-loop" && platform::EqualNoCase(Trim(value), f.listAddress)) return 1;
    if (name == "sender" || name == "reply-to") continue;
    if (name == "content-transfer-encoding" && ContainsNoCase(value, "base64")) encodedBody = true;
    if (name == "content-type" && ContainsNoCase(value, "multipart")) multipart = true;
    if (name == "subject") {
      if (!value.empty() && value[0] == ' ') value.erase(0, 1);
      head += "Subject:[List] " + value + "\r\n";
    } else if (name == "from") {
      head += "Sender:" + value + "\r\n";
      if (f.ownerReplies) {
        head += "From:" + f.owner + "\r\n";
      } else {
        head += "From: \"" + PlainName(f.sender) + " via " + f.listAddress + "\" <" +
                f.listAddress + ">\r\n";
      }
    } else {
      for (const std::string& l : field) head += l + "\r\n";
    }
  }
  head += "X-Loop: " + f.listAddress + "\r\n";
  head += "Reply-to: " + (f.ownerReplies ? f.owner : f.listAddress) + "\r\n\r\n";
  // The attribution line opens the body, except in a single part encoded in Base64, which a
  // line of text would corrupt.
  if (!(encodedBody && !multipart)) head += f.attribution + "\r\n\r\n";
  if (w.Write(head) != 0) return kErrWrite;
  return CopyRest(in, w);
}

}  // namespace

std::mutex& MembersLock() {
  static std::mutex lock;
  return lock;
}

std::string MembersPath(const std::string& home, const std::string& list) {
  return platform::ResolvePath(platform::JoinPath(MailboxDir(home, list), "MEMBERS.INI"));
}

void RefreshListMembers(const std::string& home, CAccountTable* table) {
  for (CAccount& a : table->Accounts()) {
    if (!a.isList || a.deleted) continue;
    std::vector<MemberRecord> members;
    if (ReadMembersFile(MembersPath(home, a.name), &members) == 0) a.members = std::move(members);
  }
}

std::vector<std::string> SplitListWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size() && words.size() < kMaxWords) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    if (line[i] == '"') {
      size_t end = line.find('"', i + 1);
      if (end == std::string::npos) end = line.size();
      words.push_back(line.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      size_t end = line.find_first_of(" \t", i);
      if (end == std::string::npos) end = line.size();
      words.push_back(line.substr(i, end - i));
      i = end;
    }
  }
  return words;
}

// CListCommands ---------------------------------------------------------------------------------

CListCommands::CListCommands(const ListContext& ctx, const CAccount& list,
                             std::vector<MemberRecord>& members)
    : ctx_(ctx), list_(list), members_(members) {
  listAddress_ = ListAddressOf(ctx, list);
  SplitResult parts = SplitAddress(listAddress_);
  requestAddress_ = parts.local + "-request@" + parts.domain;
  listDaemon_ = "MAILER-DAEMON@" + parts.domain;
  owner_ = OwnerOf(ctx, list);
}

MemberRecord* CListCommands::Find(const std::string& address) {
  for (MemberRecord& m : members_) {
    if (platform::EqualNoCase(m.address, address)) return &m;
  }
  return nullptr;
}

void CListCommands::Remove(const std::string& address) {
  members_.erase(std::remove_if(members_.begin(), members_.end(),
                                [&](const MemberRecord& m) {
                                  return platform::EqualNoCase(m.address, address);
                                }),
                 members_.end());
}

bool CListCommands::IsOwner(const std::string& address) const {
  return !owner_.empty() && platform::EqualNoCase(address, owner_);
}

void CListCommands::Reply(const std::string& to, const std::string& subject,
                          const std::string& text) {
  if (QueueTextMessage(ctx_.generated, to, subject, text, DaemonOf(ctx_)) != 0) {
    Log(ctx_, "List reply lost: " + OneLine(subject) + " to " + OneLine(to));
  }
}

std::string CListCommands::TextFile(const std::string& name) const {
  if (!list_.docsPath.empty()) {
    std::string docs = platform::NormaliseSeparators(list_.docsPath);
    std::string p = platform::ResolvePath(platform::JoinPath(docs, name));
    if (platform::FileExists(p)) return p;
  }
  std::string p = platform::ResolvePath(platform::JoinPath(ctx_.generated.home, name));
  return platform::FileExists(p) ? p : std::string();
}

int CListCommands::SendTextFile(const std::string& to, const std::string& name,
                                const std::string& subject) {
  std::string file = TextFile(name);
  if (file.empty()) return -1;
  return QueueFileMessage(ctx_.generated, to, subject, file, requestAddress_, -1) == 0 ? 0 : -1;
}

void CListCommands::Accept(const std::string& address, const std::string& name,
                           bool sendConfirmation) {
  if (sendConfirmation) {
    Reply(address, kSubjectSubscription,
          "Confirmation:\r\n\r\nThe address \"" + address + "\" of \"" + name +
              "\" has been added to \r\nthe subscription list of \"" + listAddress_ + "\"");
  }
  if (list_.autoReply && !list_.autoReplyFile.empty()) {
    std::string file = platform::ResolvePath(
        platform::JoinPath(MailboxDir(ctx_.generated.home, list_.name), list_.autoReplyFile));
    if (!platform::FileExists(file)) file = TextFile(list_.autoReplyFile);
    if (!file.empty() && SafeFileName(platform::BaseName(list_.autoReplyFile))) {
      (void)QueueFileMessage(ctx_.generated, address, "Welcome", file, listAddress_, -1);
    }
  }
  if (MemberRecord* m = Find(address)) {
    m->name = name;
    m->state = 0;
  } else {
    members_.push_back({name, address, 0});
  }
}

int CListCommands::Subscription(const std::vector<std::string>& words, bool sendConfirmation,
                                const std::string& sender) {
  if (words.size() < 2) return -1;
  std::string address = PlainAddress(words[1]);
  std::string name = words.size() > 2 ? PlainName(words[2]) : std::string();
  if (address.empty() || words.size() > 4) {
    Reply(sender, kSubjectConfirmation,
          "Syntax error:\r\n\r\nThe address \"" + OneLine(words[1]) +
              "\" has not been added\r\nto the subscription list of \"" + listAddress_ +
              "\"\n\n[subscribe jane.doe@example.org \"Your Name\"] is the correct syntax.");
    return 0;  // answered
  }
  if (list_.subscribeSender) {
    Accept(address, name, sendConfirmation);
    return 0;
  }
  if (words.size() == 4) {
    std::string secret;
    if (ListSecret(ctx_.generated.home, &secret) == 0 &&
        CheckConfirmationToken(secret, listAddress_, address, Trim(words[3]))) {
      Accept(address, name, sendConfirmation);
      return 0;
    }
    Reply(sender, kSubjectConfirmation,
          "Confirmation syntax error: Please retry.\r\n\r\nThe address \"" + address +
              "\" has not been added\r\nto the subscription list of \"" + listAddress_ + "\"");
    // Only a waiting registration goes: a wrong token must not take an active member off.
    if (const MemberRecord* m = Find(address); m != nullptr && m->state != 0) Remove(address);
    return 0;
  }
  // Three words (or two: no name).
  if (!IsOwner(sender) && list_.listSubsConf && !platform::EqualNoCase(address, sender)) {
    const MemberRecord* existing = Find(address);
    if (existing != nullptr && existing->state == 0) return 0;  // active already: left as it is
    std::string secret;
    if (ListSecret(ctx_.generated.home, &secret) != 0) {
      Log(ctx_, "List secret cannot be read or made: no confirmation for " + address);
      return -1;
    }
    std::string text =
        "confirm-subscription " + address + " \"" + name + "\"\r\n" +
        ConfirmationToken(secret, listAddress_, address) +
        "\r\n\r\n=> Please CONFIRM YOUR SUBSCRIPTION to get it active." +
        "\r\n\r\nCOMMENT:\r\n   The address \"" + address + "\" of \"" + name +
        "\" has been added to \r\n   the subscription list of \"" + listAddress_ + "\"." +
        "\r\n\r\nUSAGE:\r\n   1. Reply to this message.\r\n   2. Remove any line inserted by "
        "your mailer before the \"confirm-subscription\".\r\n   3. Remove any character "
        "inserted by your mailer at the begining of the first 3 lines.\r\n   4. You can "
        "also replace \"confirm-subscription\" with \"unsubscribe\".";
    if (QueueTextMessage(ctx_.generated, address, "Please confirm your subscription", text,
                         requestAddress_) != 0) {
      Log(ctx_, "List confirmation request lost: " + address);
    }
    if (MemberRecord* m = Find(address)) {
      m->name = name;
      m->state = 2;
    } else {
      members_.push_back({name, address, 2});
    }
    return 0;
  }
  Accept(address, name, sendConfirmation);
  return 0;
}

int CListCommands::Unsubscribe(const std::vector<std::string>& words, const std::string& sender) {
  if (words.size() < 2) return -1;
  std::string address = PlainAddress(words[1]);
  if (address.empty()) return -1;
  // Another's address is taken off by the owner, or with the token of its confirmation request
  // (the request's first lines with "confirm-subscription" replaced by "unsubscribe").
  if (!IsOwner(sender) && !platform::EqualNoCase(address, sender)) {
    std::string secret;
    if (words.size() != 4 || ListSecret(ctx_.generated.home, &secret) != 0 ||
        !CheckConfirmationToken(secret, listAddress_, address, Trim(words[3]))) {
      return -1;
    }
  }
  Reply(address, kSubjectConfirmation,
        "Confirmation:\r\n\r\nThe address \"" + address +
            "\" has been removed \r\nfrom the subscription list of \"" + listAddress_ + "\"");
  Remove(address);
  return 0;
}

int CListCommands::GetFile(const std::vector<std::string>& words, const std::string& sender) {
  if (words.size() < 3) return -1;
  const std::string& file = words[1];
  if (!SafeFileName(file)) return -1;
  std::string attachment =
      SafeFileName(words[2]) && words[2].find_first_of("\";") == std::string::npos ? words[2]
                                                                                   : file;
  std::string mode = words.size() > 3 ? platform::ToLower(words[3]) : std::string();
  int encoding = mode == "uuencode" || mode == "uuencoded" ? kAttachUuencode
                 : mode == "qp"                            ? kAttachQuotedPrintable
                 : mode == "ascii"                         ? kAttachPlain
                                                           : 0;
  std::string path;
  if (!list_.docsPath.empty()) {
    path = platform::ResolvePath(
        platform::JoinPath(platform::NormaliseSeparators(list_.docsPath), file));
  }
  if (path.empty() || !platform::FileExists(path) || platform::DirectoryExists(path)) {
    return SendTextFile(sender, "getfile.msg", "[Mail Server] document (" + file + ") not found");
  }
  return QueueAttachmentMessage(ctx_.generated, sender, "[Mail Server] document download",
                                requestAddress_, path, encoding, std::string(), std::string(),
                                AutoSubmitted::kGenerated, attachment) == 0
             ? 0
             : -1;
}

int CListCommands::ProcessListCommand(const std::string& line, bool senderIsMember,
                                      bool sendConfirmation, const std::string& sender) {
  std::vector<std::string> words = SplitListWords(line);
  if (words.empty()) return -1;
  std::string cmd = platform::ToLower(words[0]);
  if (cmd == "subscribe" || cmd == "register" || cmd == "confirm-subscription") {
    return Subscription(words, sendConfirmation, sender);
  }
  if (cmd == "unsubscribe" || cmd == "unregister") return Unsubscribe(words, sender);
  if (cmd == "listmembers") {
    if (owner_.empty()) return -1;
    std::string path = MembersPath(ctx_.generated.home, list_.name);
    return QueueAttachmentMessage(ctx_.generated, owner_,
                                  "[Mail Server] listmembers issued by <" + sender + ">",
                                  listAddress_, path, 0, std::string(), std::string(),
                                  AutoSubmitted::kGenerated, "members.txt") == 0
               ? 0
               : -1;
  }
  if (!list_.hasFiles) return -1;
  if (cmd == "listfiles" || cmd == "getfile") {
    if (!list_.publicFiles && !senderIsMember) {
      return SendTextFile(sender, "eaccess.msg", "[Mail Server] Error");
    }
    if (cmd == "getfile") return GetFile(words, sender);
    if (list_.docsPath.empty()) return -1;
    std::string p = platform::ResolvePath(
        platform::JoinPath(platform::NormaliseSeparators(list_.docsPath), "list.ini"));
    if (!platform::FileExists(p)) return -1;
    return QueueFileMessage(ctx_.generated, sender, "[Mail Server] List of files", p,
                            requestAddress_, -1) == 0
               ? 0
               : -1;
  }
  return SendTextFile(sender, "milib.msg", "[Mail Server] Help");
}

// RedistributePost ------------------------------------------------------------------------------

namespace {

enum class Mode { kPost, kCommands, kSubscribe };

// The commands of a request message, one per body line.
void ServeCommands(const ListContext& ctx, const std::string& messageFile, CListCommands& commands,
                   bool senderIsMember, bool senderIsOwner, const CAccount& list,
                   const std::string& sender) {
  CLineFile in;
  if (in.Open(platform::ResolvePath(messageFile), platform::FileMode::kRead) != 0) return;
  std::vector<std::vector<std::string>> fields;
  if (ReadHeader(in, &fields) != 0) return;
  std::string boundary;
  for (const auto& field : fields) {
    if (FieldName(field[0]) == "content-type") boundary = BoundaryOf(FieldValue(field));
  }
  bool skipPart = false, partHeader = false, anyDone = false;
  int failed = 0, served = 0;
  std::string line;
  auto strip = [](std::string s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == '>' || s[i] == ' ' || s[i] == '\t')) ++i;
    return Trim(s.substr(i));
  };
  while (in.ReadLine(&line, kMaxCommandLine) == 0) {
    if (!boundary.empty() && platform::StartsWithNoCase(line, "--" + boundary)) {
      if (Trim(line) == "--" + boundary + "--") break;
      skipPart = false;
      partHeader = true;
      continue;
    }
    if (partHeader) {
      if (line.empty()) partHeader = false;
      continue;
    }
    if (skipPart) continue;
    std::string command = strip(line);
    if (command.empty()) {
      if (anyDone) break;
      continue;
    }
    if (platform::StartsWithNoCase(command, "confirm-subscription")) {
      std::string next;
      if (in.ReadLine(&next, kMaxTokenLine) == 0) command += " " + strip(next);
    }
    command = OneLine(command);
    if (!list.listSubsCmd && !senderIsOwner) {
      bool allowed = false;
      for (const char* c :
           {"subscribe", "unsubscribe", "register", "unregister", "confirm-subscription"}) {
        if (platform::StartsWithNoCase(command, c)) allowed = true;
      }
      if (!allowed) {
        std::string word = SplitListWords(command).empty() ? command : SplitListWords(command)[0];
        (void)QueueTextMessage(ctx.generated, sender, kSubjectUndelivered,
                               "Error:\r\n\r\nSorry. You cannot send the command [" + word +
                                   "]\r\nto \"" + commands.ListAddress() +
                                   "\".\r\nPlease contact " + commands.Owner() + "...",
                               "MAILER-DAEMON@" + SplitAddress(commands.ListAddress()).domain);
        if (++failed >= kMaxFailedCommands) break;
        skipPart = !boundary.empty();
        continue;
      }
    }
    if (served >= kMaxServedCommands) {
      Log(ctx, "List " + list.name + ": a request from " + OneLine(sender) + " had more than " +
                   std::to_string(kMaxServedCommands) + " commands, the rest was not served");
      break;
    }
    if (commands.ProcessListCommand(command, senderIsMember, true, sender) == 0) {
      anyDone = true;
      ++served;
      continue;
    }
    if (++failed > kMaxFailedCommands) break;
    if (!boundary.empty()) {
      skipPart = true;
    } else {
      (void)QueueTextMessage(
          ctx.generated, sender, kSubjectUnprocessed,
          "Warning:\r\n\r\nSorry. You sent an unknown command to \"" + commands.ListAddress() +
              "\".\r\nPlease, send the HELP command to get more information...\r\nRegards.",
          "MAILER-DAEMON@" + SplitAddress(commands.ListAddress()).domain);
    }
  }
}

}  // namespace

int RedistributePost(const ListContext& ctx, const std::string& messageFile, const CAccount& list,
                     const std::string& senderIn, const std::string& recipient) {
  Mode mode = ContainsNoCase(recipient, "-request@")     ? Mode::kCommands
              : ContainsNoCase(recipient, "-subscribe@") ? Mode::kSubscribe
                                                         : Mode::kPost;
  if (ContainsNoCase(senderIn, "MAILER-DAEMON")) return 0;
  std::string sender = PlainAddress(senderIn);
  std::lock_guard<std::mutex> lock(MembersLock());
  std::vector<MemberRecord> members;
  if (LoadMembers(ctx, list, &members) != 0) return -1;
  CListCommands commands(ctx, list, members);
  const std::string& listAddress = commands.ListAddress();
  // The list's own mail coming back (a list that is its own member) is not served again.
  if (sender.empty() || platform::EqualNoCase(sender, listAddress) ||
      platform::EqualNoCase(sender, commands.RequestAddress())) {
    Log(ctx, "List " + list.name + ": mail without a usable sender dropped");
    return 0;
  }
  const MemberRecord* entry = FindMember(members, sender);
  bool isMember = entry != nullptr;
  bool isActive = isMember && entry->state == 0;
  bool isOwner = !commands.Owner().empty() && platform::EqualNoCase(sender, commands.Owner());
  bool sendConfirmation = true;
  if (list.subscribeSender) {
    if (!isMember && !isOwner) {
      mode = Mode::kSubscribe;
      sendConfirmation = false;
    } else if (!isOwner) {
      return 0;
    }
  }
  if (mode == Mode::kSubscribe) {
    (void)commands.ProcessListCommand("subscribe " + sender + " \"\"", isActive, sendConfirmation,
                                      sender);
    return SaveMembers(ctx, list, members);
  }
  if (mode == Mode::kCommands) {
    ServeCommands(ctx, messageFile, commands, isActive, isOwner, list, sender);
    return SaveMembers(ctx, list, members);
  }

  std::string listDaemon = "MAILER-DAEMON@" + SplitAddress(listAddress).domain;
  int result = 0;
  // Only confirmed members post: a registration still waiting would let anyone post in the name
  // of an address that never answered.
  if (!isActive && !isOwner) {
    (void)QueueTextMessage(
        ctx.generated, sender, kSubjectUndelivered,
        "Warning:\r\n\r\nSorry. You are not member of this list (" + listAddress + ").",
        listDaemon);
  } else if (list.readOnly && !isOwner) {
    (void)QueueTextMessage(ctx.generated, sender, kSubjectUndelivered,
                           "Warning:\r\n\r\nSorry. You cannot send a message to \"" + listAddress +
                               "\". \r\nThis mailing list is read-only.",
                           listDaemon);
  } else {
    std::vector<std::string> to;
    if (list.moderated && !isOwner) {
      if (!commands.Owner().empty()) to.push_back(commands.Owner());
    } else {
      for (const MemberRecord& m : members) {
        std::string a = PlainAddress(m.address);
        if (m.state != 0 || a.empty() || platform::EqualNoCase(a, listAddress) ||
            platform::EqualNoCase(a, commands.RequestAddress())) {
          continue;
        }
        to.push_back(a);
      }
    }
    PostFacts facts;
    facts.listAddress = listAddress;
    facts.owner = commands.Owner();
    facts.sender = sender;
    facts.ownerReplies = list.subscribeSender != 0;
    facts.attribution = sender + " wrote:";
    for (const MemberRecord& m : members) {
      if (!m.name.empty() && !m.address.empty() && ContainsNoCase(sender, m.address)) {
        facts.attribution = PlainName(m.name) + " at " + sender + " wrote:";
        break;
      }
    }
    if (!to.empty()) {
      CItemWriter w;
      int rc = w.Begin(InqueueDir(ctx.generated.home), ItemKind::kInbound, 10000);
      if (rc == 0) rc = WritePost(messageFile, facts, w);
      if (rc == 1) {
        Log(ctx, "List " + list.name + ": a post that went through this list before was dropped");
        return 0;
      }
      EnvelopeFields envelope;
      envelope.from = listAddress;
      envelope.to = std::move(to);
      if (rc == 0) rc = w.Commit(FormatEnvelope(envelope, platform::LocalTime(platform::Now())));
      if (rc != 0) {
        Log(ctx, "List " + list.name + ": the post cannot be queued (" + std::to_string(rc) + ")");
        result = -1;
      }
    }
  }
  if (!list.discard) Archive(ctx, messageFile, listAddress);
  return result;
}

// The command queue ------------------------------------------------------------------------------

namespace {

const CAccount* FindList(const ListContext& ctx, const CAccountTable& table,
                         const std::string& list) {
  const CAccount* a = table.FindAccount(list);
  if (a == nullptr && list.find('@') != std::string::npos) {
    SplitResult parts = SplitMailbox(list);
    std::string name;
    if (ctx.generated.accounts->Snapshot()->LookupLocal(parts.local, parts.domain, &name)) {
      a = table.FindAccount(name);
    }
  }
  return a != nullptr && a->isList ? a : nullptr;
}

}  // namespace

int SubscribeByOwner(const ListContext& ctx, const std::string& list, const std::string& address,
                     const std::string& name) {
  auto table = ctx.generated.accounts->Snapshot();
  const CAccount* account = FindList(ctx, *table, list);
  if (account == nullptr || PlainAddress(address).empty()) return -1;
  std::lock_guard<std::mutex> lock(MembersLock());
  std::vector<MemberRecord> members;
  if (LoadMembers(ctx, *account, &members) != 0) return -1;
  CListCommands commands(ctx, *account, members);
  std::string owner = commands.Owner().empty() ? DaemonOf(ctx) : commands.Owner();
  CAccount asOwner = *account;
  asOwner.listSubsConf = 0;  // the owner's own subscription is not confirmed
  CListCommands byOwner(ctx, asOwner, members);
  if (byOwner.ProcessListCommand(
          "subscribe " + PlainAddress(address) + " \"" + PlainName(name) + "\"", true, false,
          owner) != 0) {
    return -1;
  }
  return SaveMembers(ctx, *account, members);
}

int UnsubscribeByOwner(const ListContext& ctx, const std::string& list,
                       const std::string& address) {
  auto table = ctx.generated.accounts->Snapshot();
  const CAccount* account = FindList(ctx, *table, list);
  std::string plain = PlainAddress(address);
  if (account == nullptr || plain.empty()) return -1;
  std::lock_guard<std::mutex> lock(MembersLock());
  std::vector<MemberRecord> members;
  if (LoadMembers(ctx, *account, &members) != 0) return -1;
  size_t before = members.size();
  members.erase(std::remove_if(
                    members.begin(), members.end(),
                    [&](const MemberRecord& m) { return platform::EqualNoCase(m.address, plain); }),
                members.end());
  if (members.size() == before) return -1;
  return SaveMembers(ctx, *account, members);
}

// The console
// --------------------------------------------------------------------------------------

int ValidateListOptions(CAccount* list, const DomainSnapshot& domains,
                        const CAccountTable& accounts, const std::string& primaryDomain,
                        std::string* message) {
  if (list->subscribeSender && list->moderated) {
    *message = "An auto-subscribe list must not be moderated (and must be Read-only)...";
    return -1;
  }
  if (list->subscribeSender && !list->readOnly) {
    *message = "An auto-subscribe list must be Read-only (and must not be moderated)...";
    return -1;
  }
  if (list->listAddress.empty() || list->listAddress.find('@') == std::string::npos) {
    *message = "The mailing list must have a valid Email address";
    return -1;
  }
  if (list->moderator.empty()) {
    *message = "The mailing list must have an owner";
    return -1;
  }
  std::string owner = Trim(list->moderator);
  if (owner.empty()) {
    *message = "You must enter a valid Email address for the Owner of the list";
    return -1;
  }
  if (owner.find('@') == std::string::npos) owner += "@" + primaryDomain;
  SplitResult parts = SplitMailbox(owner);
  if (domains.IsLocalDomain(parts.domain) &&
      accounts.FindByExactAlias(JoinAddress(parts)) == nullptr) {
    *message = "Invalid Moderator address (does not exist in the Address/Alias list)";
    return -1;
  }
  list->moderator = owner;
  return 0;
}

int DeletePendingMembers(const std::string& home, const std::string& list) {
  std::lock_guard<std::mutex> lock(MembersLock());
  std::string path = MembersPath(home, list);
  std::vector<MemberRecord> members;
  if (ReadMembersFile(path, &members) != 0) return -1;
  size_t before = members.size();
  members.erase(std::remove_if(members.begin(), members.end(),
                               [](const MemberRecord& m) { return m.state != 0; }),
                members.end());
  int removed = static_cast<int>(before - members.size());
  if (removed == 0) return 0;
  return WriteMembersFile(path, members) == 0 ? removed : -1;
}

}  // namespace store
