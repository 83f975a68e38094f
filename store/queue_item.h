// Writing and finding queue items and mailbox messages so that no reader ever sees a part.
//
// The contract of every writer of a queue or mailbox directory: a busy marker "B<stem>" exists
// while the item is incomplete, and it MUST be held locked by its writer for all that time: it is
// made with platform::CBusyMarker (never as a plain file), which creates it already locked and
// removes it when the writer lets go or dies. The recovery (RecoverInterruptedItems, at start-up
// and before each distribution run) takes a marker whose lock nobody holds for the mark of a dead
// writer and removes it, with the item's files when the item is incomplete. A writer without a
// marker of its own (another program) must make the item appear complete in one step: envelope
// first, then the message renamed into its name.
//
// CItemWriter writes one item that way: it reserves the name stem by creating the busy marker
// exclusively (held locked while the writer lives; a stem taken meanwhile is passed over),
// streams the message into a temporary file ("<stem>.part" with prefix "~", which no reader's
// pattern matches), and on Commit syncs it, writes the envelope (for queue items) through a
// temporary file, gives the message its name (a second name made exclusively, never over an
// existing file), syncs the directory and only then removes the busy marker. Abandoning a writer
// (destruction without Commit) removes every file it made. A mailbox message is the same without
// envelope. The SMTP intake (inbound_intake.h), which fills its envelope during the
// conversation, holds a platform::CBusyMarker of its own in the same way.
//
// The listing functions give the complete items: message files whose busy marker is absent and,
// for queues, whose envelope exists. Names are matched without case and returned sorted. Each
// listing and recovery reads the directory once and answers the twin questions from memory.
//
// One writer per thread; the file system arbitrates between writers (numbering lock, busy
// markers). Results: 0 or a negative store code.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/lock_file.h"

namespace store {

enum class ItemKind {
  kInbound,   // INQUEUE: M*.TMP with R*.TMP
  kOutbound,  // OUTQUEUE/<dir>: M*.MIM with I*.MIM
  kMailbox,   // MAILIN/<account>: M*.MIM alone
};

class CItemWriter {
 public:
  CItemWriter() = default;
  CItemWriter(const CItemWriter&) = delete;
  CItemWriter& operator=(const CItemWriter&) = delete;
  ~CItemWriter() { Abandon(); }

  // Numbers the item from the directory's sequence file (up to `tries` names) and opens it.
  // 0, -1 (numbering lock), or a MakeUniqueFileName / line-file code.
  // `lowerCase` names the files "m0000001.tmp", "b...", "r..." (the server's own messages).
  [[nodiscard]] int Begin(const std::string& directory, ItemKind kind, long tries = 1000,
                          bool lowerCase = false);
  [[nodiscard]] int Write(std::string_view data);
  // Completes the item: message synced and renamed, envelope written (`envelope` is the whole
  // envelope text; ignored for mailboxes), busy marker removed. 0 or a negative code.
  [[nodiscard]] int Commit(std::string_view envelope = {});
  // Removes everything written so far.
  void Abandon();

  const std::string& MessagePath() const { return messagePath_; }
  int64_t BytesWritten() const { return written_; }

 private:
  ItemKind kind_ = ItemKind::kMailbox;
  std::string messagePath_, partPath_, envelopePath_;
  platform::CBusyMarker busy_;
  platform::CFile part_;
  int64_t written_ = 0;
  bool open_ = false;
  bool envelopeWritten_ = false, messageMade_ = false;  // what Abandon may remove
};

// Complete message files of a directory (names only), sorted.
std::vector<std::string> ListCompleteItems(const std::string& directory, ItemKind kind);

// Finishes what writers that died left behind in a directory of `kind`: a busy marker that
// nobody holds any more is removed; with it go the files of its item when the item is not
// complete (no message under its final name, or an envelope without recipients), while a
// complete item stays and becomes visible. Markers of living writers are left alone. In a queue,
// a message with neither marker nor envelope is the rest of an item whose removal was cut short
// (items are removed envelope first) and goes too. Returns the number of leftovers cleared.
int RecoverInterruptedItems(const std::string& directory, ItemKind kind);

// The name of a sibling of an item's message file ('B', 'R', 'I'), in the same case.
std::string ItemSibling(const std::string& messagePath, char letter);

}  // namespace store
