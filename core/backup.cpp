#include "core/backup.h"

#include "core/message_sink.h"
#include "core/settings.h"

namespace core {

int RunBackupJob(CSettings& settings, CMessageSink& sink, const LaunchFn& launch) {
  const SmtpSettings& s = settings.Values().smtp;
  if (s.bakCmd.empty()) return 0;
  std::string commandLine = s.bakAddNo == 0 ? s.bakCmd : s.bakCmd + " " + std::to_string(s.bakNo);
  if (launch(commandLine) != 0) {
    sink.Error("Cannot execute the backup command\n\n" + commandLine);
    return -1;
  }
  if (s.bakAddNo != 0) {
    int next = s.bakNo + 1;
    if (next > s.bakAddNo) next = 1;
    (void)settings.WriteBackupNumber(next);
  }
  return 0;
}

}  // namespace core
