// CDistributor: empties the inbound queue INQUEUE into mailboxes and outbound queues.
//
// For every complete item (envelope present, no busy marker) it parses the message header,
// sends a looping message (more "Received:" lines than MaxHops) to MAILIN/MASTER, and otherwise
// serves each recipient of the envelope: unknown local users get a postmaster notice, remote
// ones are grouped by route into OUTQUEUE items (M/I pairs), local accounts get the message in
// their mailbox (with Message-Id, Date, From or Apparently-To added when missing) after their
// auto-reply, forward/copy and vacation rules; bounces to a list go to its moderator once per
// run. Recipients that could not be served are carried over: the item stays with only them in
// its envelope (written through "recipien.tmp") for the next run, each with the one step that
// failed when the rest of its procedure succeeded (section "Steps": its own copy, or one forward
// target), so that nothing delivered is delivered again.
//
// Automatic replies follow RFC 3834 (see auto_reply.h): they carry "Auto-Submitted:
// auto-replied" and never answer automatic, bulk or list mail, the null sender, a MAILER-DAEMON
// or the account itself; a vacation reply goes to one address once per `vacationDays`. A notice
// to the postmaster that cannot be queued (no account `master`) is logged and dropped; the
// message still reaches its other recipients.
//
// Thread rules: one run at a time per process (a second caller returns at once, and the run in
// progress looks at the queue once more for it); callers may be
// the tick and the SMTP session threads. A caller outside the server process hands the run to
// it. Result: 0.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <string>

#include "store/auto_reply.h"
#include "store/generated_messages.h"

namespace store {

struct CAccount;

struct DistributionContext {
  GeneratedContext generated;  // home, tables, primary domain, outbound wake-up
  int maxHops = 30;
  std::string daemonAddress;   // "MAILER-DAEMON@<domain>", sender of receipts
  // The list server (message file, list account, envelope sender, recipient address); when
  // unset, a list account is served like an ordinary account. A list served by it has no
  // automatic reply of its own: its reply file is the welcome text of new members.
  std::function<int(const std::string& messageFile, const CAccount& list, const std::string& sender,
                    const std::string& address)>
      redistribute;
  // The gate hand-off of a stored message; when unset, gates are ordinary accounts.
  std::function<void(const std::string& storedFile, const CAccount& gate)> gateHandOff;
  // Set when this process is not the one that does the server work (the web extension, the
  // console): the run is then asked of the server process instead of done here.
  std::function<void()> requestServerRun;
  // The caller's stop flag: a run is not started while its session is being stopped.
  const std::atomic<bool>* stopping = nullptr;
  // Days within which one address gets one vacation reply from an account.
  int vacationDays = kDefaultVacationDays;
  // The clock of the vacation memory; unset: the system's.
  std::function<std::time_t()> clock;
  // A line for the log (a dropped postmaster notice); unset: not logged.
  std::function<void(const std::string&)> log;
};

class CDistributor {
 public:
  int DistributeInbound(const DistributionContext& ctx);
  bool Running() const { return running_; }

 private:
  std::atomic<bool> running_{false};
  std::atomic<bool> again_{false};  // a caller came while a run was in progress
};

}  // namespace store
