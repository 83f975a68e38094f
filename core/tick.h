// CTick: the periodic jobs of the server, run every 100 ms tick.
//
// Each job has a counter in ticks. On the first tick the counters are set so that the outbound,
// command and POP3 jobs are due at once, the first backup comes one hour after start and the
// first distribution after one period; every tick then adds 1 to every counter and runs the jobs
// whose counter has reached its period (resetting it to 0):
//   distribution   DeliveryDelay x 10 ticks (seconds) or x 600 (DeliveryDelayUnit on: minutes)
//   commands       Delay x 10 (Delay 0 is used, and kept, as 10), or at once when pending
//   POP3 default   pop3clidelay x 600, never when 0;  POP3 users: pop3usrdelay likewise
//   backup         bakdelay x 36000, never when 0
//   UUCP           polled every tick while EnableUUCP is on
//   outbound       at once on "send now"; else every frequency x 600 with usefreq on; else the
//                  schedule
// While the server is stopping the counters still advance but no job runs.
//
// Owned by the main thread; guards itself against re-entry.
#pragma once

#include <ctime>
#include <functional>

#include "core/schedule.h"

namespace core {

class CSettings;
class IServerJobs;

// Flags the tick reads and clears; set by signals and by mail writers.
struct TickFlags {
  bool commandPending = false;
  bool sendNow = false;
};

class CTick {
 public:
  struct Counters {
    long outbound = -1, command = -1, pop3 = -1, pop3Users = -1, backup = -1, distribution = -1;
  };

  // `backup` runs the backup job; `localTime` gives the current local time (injectable).
  CTick(CSettings& settings, IServerJobs& jobs, CDeliverySchedule& schedule,
        std::function<void()> backup, std::function<std::tm()> localTime);

  // Runs the jobs of one tick (server role only); while `stopping`, only the counters advance.
  void Run(TickFlags& flags, bool stopping);
  const Counters& CountersForTest() const { return counters_; }

 private:
  void Start();
  void RunJobs(TickFlags& flags);
  void RunOutbound(TickFlags& flags);

  CSettings& settings_;
  IServerJobs& jobs_;
  CDeliverySchedule& schedule_;
  std::function<void()> backup_;
  std::function<std::tm()> localTime_;
  Counters counters_;
  bool busy_ = false;
};

}  // namespace core
