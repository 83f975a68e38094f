// CSetupConsole: the operator's console commands, read line by line from the terminal (or from
// standard input given by a script) of a console process (-setup) or of an interactive server
// (-server at a terminal), which takes the same commands from its own terminal.
//
// Commands (the first word, without case):
//   send        run the outbound queues now, with force        (signal 210)
//   distribute  run the local distribution now                 (signal 211)
//   uucp        run a UUCP exchange now                        (signal 213)
//   reload      load all settings in this process
//   save        save all settings; a separate server reloads them (signals 1000, then 201)
//   start/stop  start or stop the service (START.BAT / STOP.BAT)
//   clear LOG   empty one log file (smtpcon.log, popcon.log, ...); the server's size warning
//               is re-armed (a separate server notices the file shrank)
//   sessions    the sessions running in the server process
//   status      which server the console works with
//   mx DOMAIN [SERVER [PORT]]
//               one MX query (to the DNS server of the settings unless given) with the DNS log
//               on; shows the records of the answer and the exchangers in the order delivery
//               would try them, with their addresses
//   list NAME [pending]
//               the checks of a mailing list's options that a save must pass, with their
//               messages; with "pending", deletes its members still waiting for confirmation
//               after asking "Are you sure you want to delete all pending registrations?"
//   exit        the exit procedure: asks "Are you sure you want to exit?" with an operator
// In a console process the jobs are posted to the server; in a server they run at once. Messages
// from the server (203: the server started or stopped) are shown as they arrive.
//
// Main thread only.
#pragma once

#include <memory>

#include "core/startup.h"

namespace console {

// The console's commands attached to `context.process`.
std::unique_ptr<core::IConsole> MakeSetupConsole(core::ConsoleContext& context);

}  // namespace console
