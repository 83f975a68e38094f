// The messages the server writes itself: postmaster notices, auto-replies, list answers, files
// sent on request, receipts, delivery-failure reports, warnings.
//
// Every writer puts one complete queue item (busy marker, message, envelope, marker removed;
// files named in lower case "m<n>.tmp") into INQUEUE when the recipient is local (an unknown
// local user becomes `master`), or into the recipient's OUTQUEUE directory otherwise (the
// outbound runner is then woken). Receipts and failure reports to a mailing list go to its
// moderator. Header lines come in a fixed order; see each writer. Every message carries
// "Auto-Submitted:" (RFC 3834 section 5) after its Subject: "auto-replied" for answers to a
// message (auto-reply, vacation, receipt), "auto-generated" for everything else, so that no
// responder, ours or another's, answers it. Included files are copied whole, whatever their line
// lengths; attachments are written with CR LF lines.
//
// Thread-safe (state only in the files); callers on any thread. Results: 0 queued; -1 the
// recipient could not be queued (no number, no free name, no directory, or an unknown local
// user while the postmaster account `master` does not exist either); a line-file code (-4...)
// when an included file cannot be read.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace store {

class CAccountStore;
class CDomainTable;

struct GeneratedContext {
  std::string home;
  std::string primaryDomain;
  std::string product;  // branding name, for X-Mailer
  const CDomainTable* domains = nullptr;
  const CAccountStore* accounts = nullptr;
  // Called when an item went into an outbound queue.
  std::function<void()> wakeOutbound;
};

// Attachment encodings, as bit flags; the first set bit wins; none is Base64.
constexpr int kAttachUuencode = 1;
constexpr int kAttachQuotedPrintable = 2;
constexpr int kAttachPlain = 4;

// Lengths of the returned message body in notifications.
constexpr long kReceiptBodyLimit = 512;
constexpr long kFailureBodyLimit = 1500;

struct FailedRecipient {
  std::string address;
  bool done = false;   // delivered meanwhile: not listed
  std::string reason;  // "Unknown" when empty
};

// The "Auto-Submitted:" keyword of a server-made message.
enum class AutoSubmitted {
  kGenerated,  // "auto-generated": notices, reports, warnings
  kReplied,    // "auto-replied": a direct answer to a message
};

// QueueAttachmentMessage names the attachment `attachmentName`, or the file's own name when it
// is empty or not one line.
// `limit` < 0 copies the file whole, 0 its header block only, > 0 until that many characters.
int QueueFileMessage(const GeneratedContext& ctx, const std::string& to, const std::string& subject,
                     const std::string& file, const std::string& from, long limit,
                     AutoSubmitted kind = AutoSubmitted::kGenerated);
int QueueTextMessage(const GeneratedContext& ctx, const std::string& to, const std::string& subject,
                     const std::string& text, const std::string& from,
                     AutoSubmitted kind = AutoSubmitted::kGenerated);
int QueueAttachmentMessage(const GeneratedContext& ctx, const std::string& to,
                           const std::string& subject, const std::string& from,
                           const std::string& file, int encoding, const std::string& text,
                           const std::string& receiptTo,
                           AutoSubmitted kind = AutoSubmitted::kGenerated,
                           const std::string& attachmentName = std::string());
int QueueReceipt(const GeneratedContext& ctx, const std::string& to, const std::string& from,
                 const std::string& messageFile, const std::string& messageSubject,
                 const std::string& messageSender, const std::string& messageRecipient);
int QueueFailureReport(const GeneratedContext& ctx, const std::string& fromName,
                       const std::string& subject, const std::string& errorAddress,
                       const std::vector<FailedRecipient>& failed, const std::string& messageFile);

// The UUCP gateway's report that a message it delivers locally names `unknownUser`, who has no
// mailbox. It is stored straight into the mailbox MAILIN/<recipientName> (MAILIN/MASTER when
// that directory does not exist), with the undelivered message attached whole; `counter` is the
// gateway's running report number. 0, -1 (no number or name), or a line-file code.
int StoreLocalDeliveryReport(const GeneratedContext& ctx, const std::string& recipientName,
                             const std::string& unknownUser, const std::string& messageFile,
                             int counter);

// The envelope sender of a generated message: a UUCP path "a!b!user" becomes "user@b".
std::string EnvelopeSender(const std::string& sender);

}  // namespace store
