// CSetupConsole: the operator's console in a process without the server role.
//
// A line-oriented console on the terminal (or on standard input from a script). It publishes
// the process as the console (`stpthread`), talks to the running server through signals and
// offers these commands:
//   send        run the outbound queues now, with force        (signal 210)
//   distribute  run the local distribution now                 (signal 211)
//   uucp        run a UUCP exchange now                        (signal 213)
//   reload      load all settings in this process
//   save        save all settings; the server reloads them     (signal 1000, then 201)
//   start/stop  start or stop the service (START.BAT / STOP.BAT)
//   clear LOG   empty one log file (smtpcon.log, popcon.log, ...)
//   sessions    the sessions of this process
//   status      which server this console talks to
//   exit        leave the console
// Messages from the server (203: the server started or stopped) are shown as they arrive.
//
// Main thread only.
#pragma once

#include "core/startup.h"

namespace console {

int RunSetupConsole(core::ConsoleContext& context);

}  // namespace console
