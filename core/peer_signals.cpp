#include "core/peer_signals.h"

#include "platform/fs.h"
#include "platform/system.h"
#include "platform/thread_signal.h"

namespace core {
namespace {
constexpr char kData[] = "data";
}

CPeerSignals::CPeerSignals(const std::string& home, const std::string& quorvaleIni,
                           ProcessRole role, long ownId, std::function<bool()> serviceActive)
    : home_(home),
      ini_(quorvaleIni),
      role_(role),
      ownId_(ownId),
      serviceActive_(std::move(serviceActive)) {}

long CPeerSignals::ReadId(const char* key) { return ini_.ReadLong(kData, key, 0); }

bool CPeerSignals::QueryServiceRunning() {
  if (serviceActive_ && serviceActive_()) return true;
  long server = ReadId("srvthread");
  return server != 0 && server != ownId_ && platform::ProcessAlive(server) &&
         platform::FileExists(platform::SignalSocketPath(home_, server));
}

void CPeerSignals::Publish(bool announce) {
  serviceRunning_ = QueryServiceRunning();
  if (ServerRole()) {
    serverId_ = ownId_;
    (void)ini_.WriteInt(kData, "srvthread", ownId_);
    consoleId_ = ReadId("stpthread");
  } else {
    consoleId_ = ownId_;
    (void)ini_.WriteInt(kData, "stpthread", ownId_);
    serverId_ = serviceRunning_ ? ReadId("srvthread") : 0;
  }
  published_ = true;
  long peer = ServerRole() ? consoleId_ : serverId_;
  if (announce && peer != 0 && role_ != ProcessRole::kBoth) {
    (void)PostOnce(1, kSignalRereadPeer);
  }
}

int CPeerSignals::PostOnce(unsigned long word, long param) {
  long target = ServerRole() ? consoleId_ : serverId_;
  return platform::PostThreadSignal(home_, target, {kSignalName, word, param});
}

int CPeerSignals::Post(unsigned long word, long param) {
  if (!published_ || serverId_ == 0 || consoleId_ == 0) {
    Publish(false);
    if (serverId_ == 0 || consoleId_ == 0) return 0;  // no peer: nothing to send
  }
  if (role_ == ProcessRole::kBoth || serverId_ == consoleId_) return -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (PostOnce(word, param) == 0) return 0;
    RereadPeer();
    if (serverId_ == consoleId_) break;
  }
  return -1;
}

void CPeerSignals::RereadPeer() {
  if (ServerRole()) {
    consoleId_ = ReadId("stpthread");
  } else {
    serverId_ = ReadId("srvthread");
    serviceRunning_ = serverId_ != 0;
  }
}

void CPeerSignals::Withdraw() {
  if (ServerRole()) {
    (void)ini_.WriteInt(kData, "srvthread", 0);
    // The console's id as published now: a console that has just started may not have been
    // heard yet (its 203 still waits in the socket behind the signal that stops us).
    if (role_ == ProcessRole::kServer) consoleId_ = ReadId("stpthread");
    if (consoleId_ != 0) (void)PostOnce(1, kSignalRereadPeer);
    serverId_ = 0;
  } else {
    (void)ini_.WriteInt(kData, "stpthread", 0);
    if (serviceRunning_ && serverId_ != 0) (void)PostOnce(1, kSignalRereadPeer);
    consoleId_ = 0;
  }
  published_ = false;
}

}  // namespace core
