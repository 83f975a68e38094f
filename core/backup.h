// The backup job: runs `bakcmd`, passing the backup number `bakno` when `bakaddno` is non-zero.
// After a successful start the number advances and wraps from `bakaddno` back to 1, and the new
// number is stored in NEXUM2.INI. Main thread only.
#pragma once

#include <functional>
#include <string>

namespace core {

class CSettings;
class CMessageSink;

// Starts a command line; 0 when it started.
using LaunchFn = std::function<int(const std::string& commandLine)>;

// 0 when nothing was to be done or the command started; -1 when it could not be started.
int RunBackupJob(CSettings& settings, CMessageSink& sink, const LaunchFn& launch);

}  // namespace core
