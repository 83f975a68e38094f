// Inbound intake: how a message received over SMTP enters INQUEUE.
//
// The session reserves its item when the client names the sender (MAIL): the envelope name
// "R<7 digits>.TMP" is the first free one found by MakeUniqueFileName (from where the last search
// ended up to the last name, then from 0) and is created exclusively, so no other session takes
// it; a name taken meanwhile is passed over for the next. At DATA the busy marker "B<n>.TMP" is
// made (held locked, so a marker whose writer died is recognised) and the message "M<n>.TMP" is
// written. Commit writes the envelope into the reserved file and syncs message, envelope and
// directory: the item is on disk, and only then may the client hear "250 OK". Publish releases
// the marker once the client has heard it, and readers may take the item. An item that is not
// published is removed whole when it is abandoned or destroyed.
//
// Results: 0, or a negative code: kErrNoDirectory / kErrNameExhausted / kErrFirstTooLarge of the
// naming, kErrIntakeFile when a file cannot be created, written or synced (permissions, a full
// disk, no descriptors). A failure never loops: the caller answers "450" and goes on.
//
// Thread rules: one CInboundQueue per server, shared by every session (its search hint is
// atomic; the first search is made under a mutex); one CInboundItem per session thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/lock_file.h"
#include "store/envelope.h"

namespace store {

constexpr int kErrIntakeFile = -4;

class CInboundQueue {
 public:
  explicit CInboundQueue(std::string home) : home_(std::move(home)) {}
  const std::string& Home() const { return home_; }
  // Reserves a free envelope name and creates the (empty) envelope file. 0 or a negative code.
  [[nodiscard]] int ReserveEnvelope(std::string* path);

 private:
  // Moves the hint past `taken`, the name a search that started at `hint` reserved.
  void Advance(long hint, long taken);

  std::string home_;
  // Where the next search starts: one past the last name taken, so that a full queue is not
  // searched from 0 for every message (a free name is still found either way).
  std::atomic<long> next_{0};
  // The first search after start-up (the hint is 0, the queue may be full) is made once, by the
  // first session; the sessions that come meanwhile wait for its answer instead of each reading
  // the whole queue again.
  std::mutex firstSearch_;
  std::atomic<bool> hintKnown_{false};
};

// Removes the envelope reservations of sessions that ended without cleaning up (the process was
// killed between MAIL and the end of DATA): empty "R*.TMP" files without their message. Only
// before the server takes work: a live session's reservation looks the same. The number removed.
int ClearAbandonedReservations(const std::string& home);

class CInboundItem {
 public:
  explicit CInboundItem(CInboundQueue& queue) : queue_(queue) {}
  CInboundItem(const CInboundItem&) = delete;
  CInboundItem& operator=(const CInboundItem&) = delete;
  ~CInboundItem() { Abandon(); }

  // MAIL: reserves the envelope name. 0 or a negative code.
  [[nodiscard]] int Reserve();
  // DATA: makes the busy marker and opens the message file. 0 or kErrIntakeFile.
  [[nodiscard]] int Open();
  [[nodiscard]] int Write(std::string_view data);
  // The envelope written; message, envelope and directory synced. After a failure the item is
  // removed.
  [[nodiscard]] int Commit(const EnvelopeFields& envelope);
  // After a 0 from Commit: releases the marker; the item belongs to the queue from now on.
  void Publish();
  // Removes every file of an item that was not published.
  void Abandon();

  bool Reserved() const { return !envelopePath_.empty(); }
  bool Published() const { return published_; }
  const std::string& EnvelopePath() const { return envelopePath_; }
  const std::string& MessagePath() const { return messagePath_; }
  // The item's number (the digits of its name).
  unsigned long Number() const;

 private:
  CInboundQueue& queue_;
  std::string envelopePath_, messagePath_;
  platform::CBusyMarker marker_;
  platform::CFile message_;
  bool committed_ = false;
  bool published_ = false;
};

}  // namespace store
