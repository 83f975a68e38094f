#include "web/template/outgoing_mail.h"

#include <atomic>
#include <cctype>

#include "platform/fs.h"
#include "platform/launcher.h"
#include "platform/path.h"
#include "platform/system.h"
#include "store/envelope.h"
#include "store/message_text.h"
#include "store/queue_files.h"
#include "store/queue_item.h"
#include "store/store_paths.h"
#include "toolkit/encodings.h"

namespace web {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// LF and lone CR become CR LF.
std::string CrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 40);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string QuotedPrintable(std::string_view text) {
  toolkit::CQuotedPrintableEncoder enc;
  std::string out;
  enc.Encode(CrLf(text), &out);
  enc.Finish(&out);
  return out;
}

struct MimeType {
  const char* ext;
  const char* type;
  bool text;
};

constexpr MimeType kTypes[] = {
    {"bat", "text/plain", true},
    {"ini", "text/plain", true},
    {"txt", "text/plain", true},
    {"htm", "text/html", true},
    {"html", "text/html", true},
    {"mim", "message/rfc822", true},
    {"elm", "message/rfc822", false},
    {"wav", "audio/wav", false},
    {"avi", "video/msvideo", false},
    {"mpg", "video/mpeg", false},
    {"mpe", "video/mpeg", false},
    {"mpeg", "video/mpeg", false},
    {"qt", "video/quicktime", false},
    {"mov", "video/quicktime", false},
    {"gif", "image/gif", false},
    {"ief", "image/ief", false},
    {"jpg", "image/jpeg", false},
    {"jpe", "image/jpeg", false},
    {"jpeg", "image/jpeg", false},
    {"tif", "image/tiff", false},
    {"tiff", "image/tiff", false},
    {"doc", "application/msword", false},
    {"rtf", "application/rtf", false},
    {"pdf", "application/pdf", false},
    {"zip", "application/zip", false},
    {"eps", "application/postscript", false},
    {"ps", "application/postscript", false},
};

MimeType TypeOf(const std::string& name) {
  size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "bin" : name.substr(dot + 1);
  for (const MimeType& t : kTypes) {
    if (EqualNoCase(ext, t.ext)) return t;
  }
  return MimeType{"bin", "application/octet-stream", false};
}

std::string AddressHeader(const char* label, const std::vector<std::string>& list) {
  if (list.empty()) return std::string();
  std::string h = std::string(label) + list[0];
  for (size_t i = 1; i < list.size(); ++i) h += ",\r\n    " + list[i];
  return h + "\r\n";
}

std::string MakeMessageId(const CTemplateSettings& settings) {
  static std::atomic<unsigned long> counter{0};
  return "<" + std::to_string(platform::CurrentProcessId()) + "." +
         std::to_string(counter.fetch_add(1)) + "." + std::to_string(platform::TickCount()) + "@" +
         (settings.domain.empty() ? std::string("localhost") : settings.domain) + ">";
}

}  // namespace

std::string BareAddress(std::string_view text) {
  size_t p = 0;
  while (p < text.size() && IsBlank(text[p])) ++p;
  text.remove_prefix(p);
  if (!text.empty() && text[0] == '"') {
    size_t q = text.find('"', 1);
    text.remove_prefix(q == std::string_view::npos ? text.size() : q + 1);
  }
  std::string out;
  size_t lt = text.find('<');
  if (lt != std::string_view::npos) {
    size_t gt = text.find('>', lt + 1);
    out.assign(
        text.substr(lt + 1, gt == std::string_view::npos ? std::string_view::npos : gt - lt - 1));
  } else {
    std::string last;
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && IsBlank(text[i])) ++i;
      size_t s = i;
      while (i < text.size() && !IsBlank(text[i])) ++i;
      if (i == s) break;
      std::string word(text.substr(s, i - s));
      if (word.find('@') != std::string::npos) {
        out = word;
        break;
      }
      last = word;
    }
    if (out.empty()) out = last;
  }
  // An address is one word: blanks and line ends cannot survive into an envelope or a header.
  std::string bare;
  for (char c : out) {
    if (!IsBlank(c)) bare += c;
  }
  return bare.substr(0, kMaxBareAddress);
}

std::vector<std::string> SplitAddressList(std::string_view text) {
  std::vector<std::string> out;
  size_t pos = 0;
  bool quoted = false;
  size_t start = 0;
  for (; pos <= text.size(); ++pos) {
    if (pos < text.size() && text[pos] == '"') quoted = !quoted;
    if (pos == text.size() || (!quoted && (text[pos] == ';' || text[pos] == ','))) {
      std::string a = BareAddress(text.substr(start, pos - start));
      if (!a.empty()) out.push_back(a);
      start = pos + 1;
    }
  }
  return out;
}

int QueueOutgoingMail(const CTemplateSettings& settings, const OutgoingMail& mail,
                      std::string* messagePath) {
  store::EnvelopeFields env;
  std::vector<std::string> to, cc, bcc;
  for (const std::string& t : mail.to) {
    for (std::string& a : SplitAddressList(t)) to.push_back(std::move(a));
  }
  for (const std::string& t : mail.cc) {
    for (std::string& a : SplitAddressList(t)) cc.push_back(std::move(a));
  }
  for (const std::string& t : mail.bcc) {
    for (std::string& a : SplitAddressList(t)) bcc.push_back(std::move(a));
  }
  if (to.empty() && cc.empty() && bcc.empty()) return kMailNoRecipient;
  env.from = BareAddress(mail.from);
  env.replyTo = mail.replyTo.empty() ? env.from : BareAddress(mail.replyTo);
  env.subject = store::OneLine(mail.subject);
  env.to = to;
  env.to.insert(env.to.end(), cc.begin(), cc.end());
  env.to.insert(env.to.end(), bcc.begin(), bcc.end());

  std::string inqueue = store::InqueueDir(settings.home);
  (void)platform::MakeDirectory(inqueue);
  store::CItemWriter writer;
  if (writer.Begin(inqueue, store::ItemKind::kInbound) != 0) return kMailCannotOpen;

  bool attach = !mail.attachFile.empty();
  std::string boundary = attach ? store::MakeBoundary() : std::string();
  std::string head = store::StatusLine(0) + "\r\n";
  head += "X-Mailer: " + store::OneLine(settings.oemSoft) + "\r\n";
  head += "Message-Id: " + MakeMessageId(settings) + "\r\n";
  head += "Mime-version: 1.0\r\n";
  head += "Date: " + store::FormatDateHeader() + "\r\n";
  if (!mail.from.empty()) head += "From: " + store::OneLine(mail.from) + "\r\n";
  if (!mail.replyTo.empty()) head += "Reply-to: " + store::OneLine(mail.replyTo) + "\r\n";
  head += AddressHeader("To: ", to);
  head += AddressHeader("Cc: ", cc);
  std::string subject = store::OneLine(mail.subject);
  head += subject.empty() ? std::string("Subject:\r\n") : "Subject: " + subject + "\r\n";
  if (attach) head += "Content-type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
  if (attach) head += "\r\n--" + boundary + "\r\n";
  head += "Content-Transfer-Encoding:Quoted-Printable\r\n";
  head += "Content-Type:text/plain; charset=ISO-8859-1\r\n\r\n";
  std::string text = mail.text;
  if (!mail.textFile.empty()) {
    std::string content;
    if (platform::ReadWholeFile(mail.textFile, &content) == 0) {
      if (!text.empty() && text.back() != '\n') text += "\r\n";
      text += content;
    }
  }
  std::string body = head + QuotedPrintable(text);
  if (body.size() < 2 || body.compare(body.size() - 2, 2, "\r\n") != 0) body += "\r\n";
  if (attach) {
    std::string content;
    if (platform::ReadWholeFile(mail.attachFile, &content) != 0) return kMailCannotOpen;
    std::string name = store::OneLine(mail.attachName.empty() ? platform::BaseName(mail.attachFile)
                                                              : mail.attachName);
    MimeType type = TypeOf(name);
    body += "--" + boundary + "\r\n";
    body += "Content-Description:" + name + "\r\n";
    body += "Content-Disposition:attachment; filename=" + name + "\r\n";
    if (type.text) {
      body += "Content-Transfer-Encoding:Quoted-Printable\r\n";
      body += std::string("Content-Type:") + type.type + "; charset=ISO-8859-1; name=" + name +
              "\r\n\r\n";
      body += QuotedPrintable(content);
      if (body.compare(body.size() - 2, 2, "\r\n") != 0) body += "\r\n";
    } else {
      body += "Content-Transfer-Encoding:Base64\r\n";
      body += std::string("Content-Type:") + type.type +
              "; name=" + (name.empty() ? std::string("noname.bin") : name) + "\r\n\r\n";
      body += toolkit::EncodeBase64Lines(content);
    }
    body += "--" + boundary + "--\r\n";
  }
  if (writer.Write(body) != 0) return kMailCannotOpen;
  std::string path = writer.MessagePath();
  if (writer.Commit(store::FormatEnvelope(env, platform::LocalTime(platform::Now()))) != 0) {
    return kMailEnvelope;
  }
  if (messagePath != nullptr) *messagePath = path;
  return 0;
}

int ITemplateHost::QueueMail(const OutgoingMail& mail, std::string* messagePath) {
  return QueueOutgoingMail(Settings(), mail, messagePath);
}

int ITemplateHost::RunProgram(const ProgramCall& call) {
  std::vector<std::string> argv = call.argv;
  if (call.useShell) argv = {"/bin/sh", "-c", call.commandLine};
  return platform::RunArguments(argv, call.directory, call.wait);
}

}  // namespace web
