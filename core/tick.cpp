#include "core/tick.h"

#include "core/jobs.h"
#include "core/settings.h"

namespace core {
namespace {

constexpr long kTicksPerSecond = 10;
constexpr long kTicksPerMinute = 600;
constexpr long kTicksPerHour = 36000;

}  // namespace

CTick::CTick(CSettings& settings, IServerJobs& jobs, CDeliverySchedule& schedule,
             std::function<void()> backup, std::function<std::tm()> localTime)
    : settings_(settings),
      jobs_(jobs),
      schedule_(schedule),
      backup_(std::move(backup)),
      localTime_(std::move(localTime)) {}

void CTick::Start() {
  const SettingsValues& v = settings_.Values();
  counters_.outbound = v.schedule.frequency * kTicksPerMinute;
  counters_.command = v.command.delay * kTicksPerSecond;
  counters_.pop3 = v.smtp.pop3CliDelay * kTicksPerMinute;
  counters_.pop3Users = v.smtp.pop3UsrDelay * kTicksPerMinute;
  counters_.backup = v.smtp.bakDelay > 0 ? (v.smtp.bakDelay - 1) * kTicksPerHour : 0;
  counters_.distribution = 1;
}

void CTick::Run(TickFlags& flags, bool stopping) {
  if (busy_) return;
  busy_ = true;
  if (counters_.distribution < 0) Start();
  for (long* c : {&counters_.outbound, &counters_.command, &counters_.pop3, &counters_.pop3Users,
                  &counters_.backup, &counters_.distribution}) {
    ++*c;
  }
  if (!stopping) RunJobs(flags);
  busy_ = false;
}

void CTick::RunJobs(TickFlags& flags) {
  // Jobs may reload settings; read the values afresh for each step.
  const SettingsValues& v = settings_.Values();

  long distributionPeriod = v.smtp.deliveryDelay *
                            (v.smtp.deliveryDelayUnit <= 0 ? kTicksPerSecond : kTicksPerMinute);
  if (counters_.distribution >= distributionPeriod) {
    counters_.distribution = 0;
    jobs_.RunDistribution();
  }

  if (settings_.Values().command.delay == 0) {
    settings_.MutableValues().command.delay = 10;
    settings_.Publish();
  }
  if (flags.commandPending || counters_.command >= v.command.delay * kTicksPerSecond) {
    counters_.command = 0;
    jobs_.RunCommandQueue();
    flags.commandPending = false;
  }

  if (v.smtp.pop3CliDelay != 0 && counters_.pop3 >= v.smtp.pop3CliDelay * kTicksPerMinute) {
    counters_.pop3 = 0;
    jobs_.CollectPop3(false);
  }
  if (v.smtp.pop3UsrDelay != 0 && counters_.pop3Users >= v.smtp.pop3UsrDelay * kTicksPerMinute) {
    counters_.pop3Users = 0;
    jobs_.CollectPop3(true);
  }

  if (v.smtp.bakDelay != 0 && counters_.backup >= v.smtp.bakDelay * kTicksPerHour) {
    counters_.backup = 0;
    if (backup_) backup_();
  }

  if (v.smtp.enableUucp && jobs_.PollUucp()) jobs_.RunDistribution();

  RunOutbound(flags);
}

void CTick::RunOutbound(TickFlags& flags) {
  const SettingsValues& v = settings_.Values();
  if (flags.sendNow) {
    flags.sendNow = false;
    jobs_.RunOutboundQueues(false);
  } else if (v.schedule.useFreq) {
    if (counters_.outbound >= v.schedule.frequency * kTicksPerMinute) {
      counters_.outbound = 0;
      jobs_.RunOutboundQueues(false);
    }
  } else if (schedule_.HasNext()) {
    if (schedule_.Step(v.schedule, localTime_())) jobs_.RunOutboundQueues(false);
  }
}

}  // namespace core
