// Listening TCP sockets bound before the process gives up root, for the connection servers to
// adopt later: a server started by root binds its ports below 1024 this way, switches to its
// service user, and only then reads settings, accounts and mail.
//
// The registry is process-wide and thread-safe. It keeps each socket until the process ends,
// handing out duplicates, so a listener that restarts can adopt its port again.
#pragma once

#include <string>

namespace platform {

// Binds and listens on `address` ("" or "0.0.0.0": every address) and `port`, and keeps the
// socket. 0, or -1 with the reason in *error.
[[nodiscard]] int PrebindListener(const std::string& address, int port, std::string* error);

// A new descriptor (the caller owns it) for the socket kept for `address` and `port`, or -1
// when none was bound before.
int AdoptPreboundListener(const std::string& address, int port);

// Closes every kept socket (tests; the process's end does the same).
void ClosePreboundListeners();

}  // namespace platform
