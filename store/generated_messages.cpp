#include "store/generated_messages.h"

#include <cstdio>
#include <ctime>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/line_file.h"
#include "store/message_text.h"
#include "store/queue_files.h"
#include "store/queue_item.h"
#include "store/store_paths.h"
#include "toolkit/encoding_files.h"
#include "toolkit/encodings.h"

namespace store {
namespace {

struct Target {
  std::string directory;
  ItemKind kind = ItemKind::kInbound;
  std::string recipient;
};

// Where a generated message to `to` goes; for notifications a list's moderator stands in for it.
// `to` may be taken from a header ("Name <a@x>", "a@x (Name)"): the recipient is the mailbox
// address alone, without comments and display name (RFC 5322 3.4).
bool ResolveTarget(const GeneratedContext& ctx, const std::string& to, bool moderatorForLists,
                   Target* target) {
  SplitResult parts = SplitMailbox(to);
  auto domains = ctx.domains->Snapshot();
  if (domains->IsLocalDomain(parts.domain)) {
    std::string name;
    auto accounts = ctx.accounts->Snapshot();
    if (!accounts->LookupLocal(parts.local, parts.domain, &name)) {
      // Unknown local user: the postmaster. Without a postmaster account the message could only
      // come back as a notice about itself, for ever: it is not queued.
      if (accounts->FindAccount(kMasterAccount) == nullptr) return false;
      target->recipient = kMasterAccount;
    } else {
      const CAccount* account = accounts->FindAccount(name);
      if (moderatorForLists && account && account->isList && !account->moderator.empty()) {
        return ResolveTarget(ctx, account->moderator, false, target);
      }
      target->recipient = JoinAddress(parts);
    }
    target->directory = InqueueDir(ctx.home);
    target->kind = ItemKind::kInbound;
    return true;
  }
  std::string route;
  domains->RouteDomain(parts.domain, &route);
  target->directory = OutqueueDir(ctx.home, route == "[uucp]" ? std::string(kUucpHubQueue) : route);
  target->kind = ItemKind::kOutbound;
  target->recipient = JoinAddress(parts);
  return true;
}

// Writes one item: `body` fills the message through the writer.
int Queue(const GeneratedContext& ctx, const std::string& to, bool moderatorForLists,
          const std::string& subject, const std::string& from,
          const std::function<int(CItemWriter&, const std::string& recipient)>& body) {
  Target target;
  if (!ResolveTarget(ctx, to, moderatorForLists, &target)) return -1;
  CItemWriter writer;
  if (writer.Begin(target.directory, target.kind, 100, /*lowerCase=*/true) != 0) return -1;
  if (int rc = body(writer, target.recipient); rc != 0) return rc;  // the writer removes its files
  EnvelopeFields envelope;
  envelope.from = EnvelopeSender(from);
  envelope.subject = subject;
  envelope.to = {target.recipient};
  if (writer.Commit(FormatEnvelope(envelope, platform::LocalTime(platform::Now()))) != 0) {
    return kErrWrite;
  }
  if (target.kind == ItemKind::kOutbound && ctx.wakeOutbound) ctx.wakeOutbound();
  return 0;
}

// Copies a message file's lines, each whole whatever its length. `headerThenBody`: the header
// whole, then the body while the body's characters stay within `limit` (then the three closing
// lines). Otherwise `limit` < 0 copies everything, 0 the header block only, > 0 stops after the
// line that reaches the limit.
int CopyLines(const std::string& file, CItemWriter& w, long limit, bool headerThenBody) {
  constexpr size_t kPiece = 65536;
  CLineFile in;
  if (int rc = in.Open(platform::ResolvePath(file), platform::FileMode::kRead); rc != 0) return rc;
  std::string piece, block;
  long copied = 0;
  bool inHeader = true, lineEnd = true, headerEnd = false;
  auto flush = [&] {
    int rc = block.empty() ? 0 : w.Write(block);
    block.clear();
    return rc;
  };
  for (;;) {
    bool lineStart = lineEnd;
    if (int rc = in.ReadLinePiece(&piece, kPiece, &lineEnd); rc != 0) {
      if (rc != kErrEndOfFile) return rc;
      break;
    }
    // The header ends at the first line that begins with a control character (the empty line).
    if (lineStart) {
      headerEnd = inHeader && (piece.empty() || static_cast<unsigned char>(piece[0]) < 32);
    }
    bool body = !inHeader;
    block += piece;
    if (lineEnd) block += "\r\n";
    if (body || !headerThenBody) copied += static_cast<long>(piece.size());
    if (block.size() >= kPiece) {
      if (int rc = flush(); rc != 0) return rc;
    }
    if (!lineEnd) continue;
    if (headerEnd) inHeader = false;
    if (headerThenBody) {
      if (body && copied > limit) {
        block += "...\r\n... (end of message not returned)\r\n...\r\n";
        break;
      }
      continue;
    }
    if (limit == 0 && headerEnd) break;
    if (limit > 0 && copied >= limit) break;
  }
  return flush();
}

// Copies a file in blocks with every line ending in CR LF (a bare LF becomes CR LF), so that an
// encoder's or a text file's LF lines do not end up bare inside the message (RFC 5322 2.3).
int CopyWithCrLf(const std::string& file, CItemWriter& w) {
  platform::CFile in;
  if (in.Open(file, platform::FileMode::kRead) != 0) return kErrOpen;
  char buf[65536];
  std::string out;
  bool lastCr = false;
  long n;
  while ((n = in.Read(buf, sizeof buf)) > 0) {
    out.clear();
    for (long i = 0; i < n; ++i) {
      if (buf[i] == '\n' && !lastCr) out += '\r';
      out += buf[i];
      lastCr = buf[i] == '\r';
    }
    if (int rc = w.Write(out); rc != 0) return rc;
  }
  return n < 0 ? kErrRead : 0;
}

// RFC 3834 section 5: every message the server writes says that a program wrote it, so that no
// responder answers it.
std::string AutoSubmittedLine(AutoSubmitted kind) {
  return kind == AutoSubmitted::kReplied ? "Auto-Submitted: auto-replied\r\n"
                                         : "Auto-Submitted: auto-generated\r\n";
}

std::string CommonHead(const GeneratedContext& ctx) {
  return "Message-Id: " + ctx.domains->MakeMessageId() + "\r\nDate: " + FormatDateHeader() + "\r\n";
}

}  // namespace

std::string EnvelopeSender(const std::string& sender) {
  std::string s;
  for (char c : sender) {
    if (c == '>') break;
    if (c != '<' && c != ' ') s += c;
  }
  size_t bang = s.rfind('!');
  if (bang == std::string::npos) return sender;
  std::string user = s.substr(bang + 1);
  size_t before = s.rfind('!', bang == 0 ? 0 : bang - 1);
  std::string host = before == std::string::npos || bang == 0 ? s.substr(0, bang)
                                                               : s.substr(before + 1, bang - before - 1);
  return user + "@" + host;
}

int QueueFileMessage(const GeneratedContext& ctx, const std::string& toIn,
                     const std::string& subjectIn, const std::string& file,
                     const std::string& fromIn, long limit, AutoSubmitted kind) {
  const std::string to = OneLine(toIn);
  const std::string subject = OneLine(subjectIn);
  const std::string from = OneLine(fromIn);
  return Queue(ctx, to, false, subject, from, [&](CItemWriter& w, const std::string& recipient) {
    std::string head = CommonHead(ctx) + "From: " + from + "\r\nTo: " + recipient +
                       "\r\nSubject: " + (subject.empty() ? std::string("(no subject)") : subject) +
                       "\r\n" + AutoSubmittedLine(kind) + "\r\n";
    if (int rc = w.Write(head); rc != 0) return rc;
    return CopyLines(file, w, limit, false);
  });
}

int QueueTextMessage(const GeneratedContext& ctx, const std::string& toIn,
                     const std::string& subjectIn, const std::string& text,
                     const std::string& fromIn, AutoSubmitted kind) {
  const std::string to = OneLine(toIn);
  const std::string subject = OneLine(subjectIn);
  const std::string from = OneLine(fromIn);
  return Queue(ctx, to, false, subject, from, [&](CItemWriter& w, const std::string& recipient) {
    return w.Write(CommonHead(ctx) + "From: " + from + "\r\nTo: " + recipient +
                   "\r\nSubject: " + (subject.empty() ? std::string("Empty subject") : subject) +
                   "\r\n" + AutoSubmittedLine(kind) + "\r\n" + text);
  });
}

int QueueAttachmentMessage(const GeneratedContext& ctx, const std::string& toIn,
                           const std::string& subjectIn, const std::string& fromIn,
                           const std::string& file, int encoding, const std::string& text,
                           const std::string& receiptToIn, AutoSubmitted kind,
                           const std::string& attachmentName) {
  const std::string to = OneLine(toIn);
  const std::string subject = OneLine(subjectIn);
  const std::string from = OneLine(fromIn);
  const std::string receiptTo = OneLine(receiptToIn);
  return Queue(ctx, to, false, subject, from, [&](CItemWriter& w, const std::string& recipient) {
    std::string boundary = MakeBoundary();
    std::string name = attachmentName.empty() || OneLine(attachmentName) != attachmentName
                           ? platform::BaseName(platform::NormaliseSeparators(file))
                           : attachmentName;
    std::string head = StatusLine(0) + "\r\nX-Mailer:" + ctx.product + "\r\n" + CommonHead(ctx) +
                       "From: " + from + "\r\n";
    if (!receiptTo.empty()) head += "return-receipt-to: " + receiptTo + "\r\n";
    head += "To: " + recipient +
            "\r\nSubject: " + (subject.empty() ? std::string("(no subject)") : subject) + "\r\n" +
            AutoSubmittedLine(kind);
    head += "Mime-Version:1.0\r\nContent-Type:Multipart/Mixed;\r\n    boundary=\"" + boundary + "\"\r\n\r\n";
    if (!text.empty()) {
      head += "--" + boundary + "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n"
              "Content-Transfer-Encoding: ascii\r\n\r\n" + text + "\r\n";
    }
    head += "--" + boundary + "\r\nContent-Description:" + subject +
            "\r\nContent-Disposition:attachment; filename=" + name + "\r\n";
    std::string data;
    std::string path = platform::ResolvePath(file);
    CLineFile probe;
    if (int rc = probe.Open(path, platform::FileMode::kRead); rc != 0) return rc;
    probe.Close();
    std::string tmp = w.MessagePath() + ".att";  // the encoded attachment, streamed in blocks
    int rc;
    if (encoding & kAttachUuencode) {
      head += "Content-Transfer-Encoding:X-UUEncode\r\nContent-Type:Application/octet-stream; name=" + name + "\r\n";
      rc = toolkit::UuencodeFile(path, tmp, name);
    } else if (encoding & kAttachQuotedPrintable) {
      head += "Content-Transfer-Encoding:Quoted-Printable\r\nContent-Type:Text/plain; name=" + name +
              ";\r\n   charset=ISO-8859-1\r\n";
      rc = toolkit::EncodeQuotedPrintableFile(path, tmp);
    } else if (encoding & kAttachPlain) {
      head += "Content-Type:Text/plain; name=" + name + ";\r\n   charset=US-ASCII\r\n";
      rc = 0;
      tmp = path;
    } else {
      head += "Content-Transfer-Encoding:Base64\r\nContent-Type:Application/octet-stream; name=" + name + "\r\n";
      rc = toolkit::EncodeBase64File(path, tmp);
    }
    if (rc == 0) rc = w.Write(head + "\r\n");
    if (rc == 0) rc = CopyWithCrLf(tmp, w);
    if (tmp != path) (void)platform::RemoveFile(tmp);
    if (rc == 0) rc = w.Write("\r\n--" + boundary + "--\r\n");
    return rc;
  });
}

namespace {

int QueueNotification(const GeneratedContext& ctx, const std::string& to,
                      const std::string& fromName, const std::string& subjectLine,
                      const std::string& text, const std::string& messageFile, long limit,
                      AutoSubmitted kind) {
  std::string from = fromName.find('@') != std::string::npos ? fromName : fromName + "@" + ctx.primaryDomain;
  return Queue(ctx, to, true, subjectLine, from, [&](CItemWriter& w, const std::string& recipient) {
    std::string boundary = MakeBoundary();
    std::string head = "MIME-Version: 1.0\r\n" + CommonHead(ctx) + "From: " + from +
                       "\r\nTo: " + recipient + "\r\nSubject: " + subjectLine + "\r\n" +
                       AutoSubmittedLine(kind) +
                       "Content-Type: Multipart/Mixed;\r\n      boundary=\"" + boundary +
                       "\"\r\n\r\n" + "--" + boundary + "\r\nContent-Type: Text/Plain\r\n\r\n" +
                       text + "The original message is attached below.\r\n--" + boundary +
                       "\r\nContent-Disposition:attachment; filename=message.txt\r\n"
                       "Content-Type:Text/Plain; name=message.txt; charset=US-ASCII\r\n\r\n";
    if (int rc = w.Write(head); rc != 0) return rc;
    if (int rc = CopyLines(messageFile, w, limit, true); rc != 0) return rc;
    return w.Write("--" + boundary + "--\r\n");
  });
}

}  // namespace

int QueueReceipt(const GeneratedContext& ctx, const std::string& toIn, const std::string& fromIn,
                 const std::string& messageFile, const std::string& messageSubjectIn,
                 const std::string& messageSenderIn, const std::string& messageRecipientIn) {
  const std::string to = OneLine(toIn);
  const std::string from = OneLine(fromIn);
  const std::string messageSubject = OneLine(messageSubjectIn);
  const std::string messageSender = OneLine(messageSenderIn);
  const std::string messageRecipient = OneLine(messageRecipientIn);
  std::string text = "The attached message has been put in the recipient's mailbox.\r\n   date: " +
                     FormatDateHeader() + "\r\nsubject: " + messageSubject + "\r\n   from: <" +
                     messageSender + ">\r\n     to: <" + messageRecipient + ">\r\n\r\n";
  // A receipt answers the message it names (RFC 3834 section 5: "auto-replied").
  return QueueNotification(ctx, to, from, "Receipt notification", text, messageFile,
                           kReceiptBodyLimit, AutoSubmitted::kReplied);
}

int QueueFailureReport(const GeneratedContext& ctx, const std::string& fromNameIn,
                       const std::string& subjectIn, const std::string& errorAddressIn,
                       const std::vector<FailedRecipient>& failed, const std::string& messageFile) {
  const std::string fromName = OneLine(fromNameIn);
  const std::string subject = OneLine(subjectIn);
  const std::string errorAddress = OneLine(errorAddressIn);
  std::string text = "\r\nThe attached message has not been sent.\r\n\r\n";
  for (const FailedRecipient& f : failed) {
    if (f.done) continue;
    text += "Recipient \"" + OneLine(f.address) + "\" could not be reached.\r\nReason: " +
            (f.reason.empty() ? std::string("Unknown") : OneLine(f.reason)) + "\r\n\r\n";
  }
  return QueueNotification(ctx, errorAddress, fromName,
                           subject.empty() ? std::string("Empty subject") : subject, text,
                           messageFile, kFailureBodyLimit, AutoSubmitted::kGenerated);
}

int StoreLocalDeliveryReport(const GeneratedContext& ctx, const std::string& recipientNameIn,
                             const std::string& unknownUserIn, const std::string& messageFile,
                             int counter) {
  const std::string recipientName = OneLine(recipientNameIn);
  const std::string unknownUser = OneLine(unknownUserIn);
  std::string box = MailboxDir(ctx.home, recipientName);
  if (recipientName.empty() || recipientName.find_first_of("/\\") != std::string::npos ||
      recipientName == "." || recipientName == ".." || !platform::DirectoryExists(box)) {
    box = MailboxDir(ctx.home, kPostmasterMailbox);
    (void)platform::MakeDirectoryTree(box);
  }
  CItemWriter w;
  if (w.Begin(box, ItemKind::kMailbox, 1000, true) != 0) return -1;
  char id[16];
  std::snprintf(id, sizeof id, "%5.5i", counter);
  std::tm now = platform::LocalTime(platform::Now());
  char stamp[24];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &now);
  std::string boundary = MakeBoundary();
  std::string head =
      StatusLine(0) + "\r\nFrom: LOCAL MAILER DAEMON\r\nTo: " + recipientName +
      "\r\nSubject: Local delivery failed\r\n" + AutoSubmittedLine(AutoSubmitted::kGenerated) +
      "Mime-Version: 1.0\r\nDate: " + FormatDateHeader() + "\r\nMessage-ID: <" + id + stamp +
      ">\r\n" + "Content-Type: Multipart/Mixed;\r\n      boundary=\"" + boundary + "\"\r\n\r\n" +
      "--" + boundary + "\r\nContent-Type: Text/Plain\r\n\r\n" +
      "Message from the the local server\r\n"
      "The following message could not be locally delivered:\r\n"
      "Reason: (" +
      unknownUser + ") is an unknown local user\r\n\r\n" + "--" + boundary +
      "\r\nContent-Type: Message/RFC822\r\n\r\n";
  if (int rc = w.Write(head); rc != 0) return rc;
  if (int rc = CopyLines(messageFile, w, -1, false); rc != 0) return rc;
  if (int rc = w.Write("--" + boundary + "--\r\n"); rc != 0) return rc;
  return w.Commit() == 0 ? 0 : kErrWrite;
}

}  // namespace store
