// The mailing-list server: what happens to mail that local distribution hands to a list account.
//
// RedistributePost serves one message in one of three modes chosen by the recipient address:
// "<list>-request@" carries commands (one per body line), "<list>-subscribe@" subscribes its
// sender, anything else is a post. A post from a member (or the owner) is queued once more in
// INQUEUE with the list address as sender and every active member as recipient (only the
// moderator on a moderated list, unless the owner posts), its header rewritten: Sender and
// Reply-to dropped, "Subject:[List] ...", the old From kept as "Sender:", a From naming the
// sender "via" the list, a Reply-to to the list (to the owner on lists that subscribe their
// posters) and an attribution line before the body. Unless the list discards messages, the post
// as received is archived in the mailbox the list address resolves to.
//
// Members live in the list's MAILIN/<list>/MEMBERS.INI (state 0 active, 2 waiting for
// confirmation); they are read for each message and written after commands, under one lock of
// this process. Subscriptions by mail to another address than the sender's are confirmed with
// a keyed token (list_token.h) that only the receiver of the confirmation request can know.
//
// Values taken from a message (addresses, names, subjects) are kept to one line wherever they
// are written. File names that commands ask for are looked up only in the list's documents path:
// names with "/", "\\" or ".." are refused.
//
// Thread-safe (the tick and SMTP session threads distribute). Results: 0, or -1 (see each).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "store/account.h"
#include "store/generated_messages.h"

namespace store {

class CAccountTable;
struct DomainSnapshot;

struct ListContext {
  GeneratedContext generated;                   // home, tables, primary domain
  std::string daemonAddress;                    // "MAILER-DAEMON@<primary domain>"
  std::function<void(const std::string&)> log;  // unset: not logged
};

// The lock of every list's MEMBERS.INI in this process: held while a member list is read,
// changed and written, so that a save of the account table does not write an older list.
std::mutex& MembersLock();
// MAILIN/<list>/MEMBERS.INI.
std::string MembersPath(const std::string& home, const std::string& list);
// Replaces the members of every list account in `table` with those of its MEMBERS.INI (the
// caller holds MembersLock()).
void RefreshListMembers(const std::string& home, CAccountTable* table);

// One message handed over by distribution. 0, or -1 when the message or a queue file cannot be
// opened or written.
int RedistributePost(const ListContext& ctx, const std::string& messageFile, const CAccount& list,
                     const std::string& sender, const std::string& recipient);

// One list command as a line of a request message (or of the command queue).
class CListCommands {
 public:
  // `members` is changed in place; the caller saves it.
  CListCommands(const ListContext& ctx, const CAccount& list, std::vector<MemberRecord>& members);

  // 0, or -1 for an unknown or refused command. `sendConfirmation`: the replies of a command by
  // mail are sent (not for an automatic subscription).
  int ProcessListCommand(const std::string& line, bool senderIsMember, bool sendConfirmation,
                         const std::string& sender);

  const std::string& ListAddress() const { return listAddress_; }
  const std::string& RequestAddress() const { return requestAddress_; }
  const std::string& Owner() const { return owner_; }

 private:
  int Subscription(const std::vector<std::string>& words, bool sendConfirmation,
                   const std::string& sender);
  int Unsubscribe(const std::vector<std::string>& words, const std::string& sender);
  int SendTextFile(const std::string& to, const std::string& name, const std::string& subject);
  int GetFile(const std::vector<std::string>& words, const std::string& sender);
  void Accept(const std::string& address, const std::string& name, bool sendConfirmation);
  void Reply(const std::string& to, const std::string& subject, const std::string& text);
  // A text file of the documents path, else of the home directory; empty when neither exists.
  std::string TextFile(const std::string& name) const;
  MemberRecord* Find(const std::string& address);
  void Remove(const std::string& address);
  bool IsOwner(const std::string& address) const;

  const ListContext& ctx_;
  const CAccount& list_;
  std::vector<MemberRecord>& members_;
  std::string listAddress_, requestAddress_, listDaemon_, owner_;
};

// The split of a command line: at most 20 words at blanks; a word that begins with a double
// quote runs to the next one (the quotes removed).
std::vector<std::string> SplitListWords(const std::string& line);

// The command queue's subscribe and unsubscribe: the list's owner adds (active at once) or
// removes the address. 0, or -1 for an unknown list, an address that is no address, or a failed
// save.
int SubscribeByOwner(const ListContext& ctx, const std::string& list, const std::string& address,
                     const std::string& name);
int UnsubscribeByOwner(const ListContext& ctx, const std::string& list, const std::string& address);

// The checks of the list options when the console saves a list: 0, or -1 with `*message` set
// to the text to show (the save is then refused). An owner without "@" gets "@" and the
// primary domain.
int ValidateListOptions(CAccount* list, const DomainSnapshot& domains,
                        const CAccountTable& accounts, const std::string& primaryDomain,
                        std::string* message);
constexpr char kDeletePendingQuestion[] =
    "Are you sure you want to delete all pending registrations?";
// Removes every member waiting for confirmation. The number removed, or -1 on a failed save.
int DeletePendingMembers(const std::string& home, const std::string& list);

}  // namespace store
