// Signals between the system's processes: a named message with a word and a long parameter,
// posted to the published id of another process.
//
// Each process that can receive binds a Unix datagram socket "<home>/QUORVALE.<id>.sig" (mode
// 0660) and removes it when it ends; the id is the process id. Posting sends one datagram to the
// target's socket; a missing socket or a process that no longer reads it is a failed post (-1).
// A datagram is the text "<name> <word> <long>".
//
// CSignalSocket is move-only and owned by the process's event loop. PostThreadSignal is
// thread-safe.
#pragma once

#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

struct ThreadSignal {
  std::string name;  // the registered message name, e.g. "KESTRUM_SMTP_STOP"
  unsigned long word = 0;
  long param = 0;
};

// The socket path of process `id` in `home`.
std::string SignalSocketPath(const std::string& home, long id);

// Registering a message name always succeeds on this platform; kept so that callers read as the
// protocol does. Returns a non-zero message number.
unsigned RegisterMessageName(const std::string& name);

// 0 posted, -1 failed (no such process socket, or the datagram could not be sent).
[[nodiscard]] int PostThreadSignal(const std::string& home, long id, const ThreadSignal& signal);

class CSignalSocket {
 public:
  CSignalSocket() = default;
  CSignalSocket(CSignalSocket&&) = default;
  CSignalSocket& operator=(CSignalSocket&&) = default;
  ~CSignalSocket();

  // Binds the socket of process `id` in `home`, replacing a stale socket file of the same name.
  [[nodiscard]] int Bind(const std::string& home, long id);
  // One pending signal, without waiting; nothing when none is pending or the datagram is not a
  // well-formed signal.
  std::optional<ThreadSignal> Receive();
  bool Bound() const { return static_cast<bool>(fd_); }
  int Descriptor() const { return fd_.get(); }  // for the event loop only

 private:
  std::string path_;
  CUniqueFd fd_;
};

// Parses "<name> <word> <long>"; exposed for tests.
std::optional<ThreadSignal> ParseSignalDatagram(const std::string& text);

}  // namespace platform
