// The queue runner's decisions: which queues a run starts, in which mode, never two clients on
// one queue, and the calls-in of remote hosts. The clients are stand-ins that record their
// configuration and, when asked, wait until released.
#include "outbound/queue_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "core/jobs.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "store/domain_table.h"
#include "testing/temp_dir.h"

namespace outbound {
namespace {

using testing_support::CTempDir;

struct RunnerFixture : ::testing::Test {
  RunnerFixture() : sink(home / "message.log", nullptr), settings(sink, nullptr) {
    settings.SetHome(home.path());
    core::SettingsValues& v = settings.MutableValues();
    v.smtp.domain = "example.test";
    v.smtp.mailHub = "relay.test";
    v.smtp.mailHubPort = 2526;
    settings.Publish();
    store::DomainSnapshot d;
    d.ownDomain = "example.test";
    for (const char* r : {"timed.test:mx.timed.test:timed.000::25:1:0:0:0",
                          "callin.test:192.0.2.7:callin.000::25:0:0:0:1",
                          "held.test:mx.held.test:held.000::25:1:1:0:0",
                          "local.test:[Local]:", "gate.test:[uucp]:"}) {
      d.records.push_back(store::ParseDomainRecord(r));
    }
    domains.Load(home.path(), d);
    context.home = home.path();
    context.settings = &settings;
    context.domains = &domains;
    context.counters = &counters;
    context.distribute = [this] { ++distributions; };
    context.runClient = [this](const ClientConfig& c) {
      std::unique_lock<std::mutex> lock(mutex);
      started.push_back(c);
      ++running;
      changed.notify_all();
      changed.wait(lock, [this] { return !hold; });
      --running;
      return 0;
    };
  }
  // Puts one message file into a queue (the runner only looks whether there is one).
  void Queue(const std::string& dir) {
    ASSERT_EQ(platform::MakeDirectoryTree(home / ("OUTQUEUE/" + dir)), 0);
    ASSERT_EQ(platform::WriteFileAtomic(home / ("OUTQUEUE/" + dir + "/M0000001.MIM"), "x"), 0);
  }
  std::vector<std::string> StartedQueues(COutboundRunner& runner) {
    runner.WaitIdle();
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    for (const ClientConfig& c : started) out.push_back(c.queueDir);
    std::sort(out.begin(), out.end());
    started.clear();
    return out;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = false;
    changed.notify_all();
  }
  bool WaitRunning(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return running == n; });
  }

  CTempDir home;
  core::CMessageSink sink;
  core::CSettings settings;
  store::CDomainTable domains;
  core::CSessionCounters counters;
  RunnerContext context;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ClientConfig> started;
  int running = 0;
  bool hold = false;
  int distributions = 0;
};

TEST_F(RunnerFixture, TimedRunsStartOnlyQueuesWithMailAndTimerRunsForcedOnesAlsoHeldAndCallIn) {
  for (const char* q : {"MAILHUB", "timed.000", "callin.000", "held.000"}) Queue(q);
  COutboundRunner runner(context);
  runner.RunOutboundQueues(false);
  EXPECT_EQ(StartedQueues(runner), (std::vector<std::string>{"MAILHUB", "timed.000"}));
  EXPECT_EQ(distributions, 1);  // a run ends with a distribution
  runner.RunOutboundQueues(true);
  EXPECT_EQ(StartedQueues(runner),
            (std::vector<std::string>{"MAILHUB", "callin.000", "held.000", "timed.000"}));
  // An empty queue gets no client.
  ASSERT_EQ(platform::RemoveFile(home / "OUTQUEUE/timed.000/M0000001.MIM"), 0);
  runner.RunOutboundQueues(true);
  EXPECT_EQ(StartedQueues(runner), (std::vector<std::string>{"MAILHUB", "callin.000", "held.000"}));
  EXPECT_EQ(counters.smtpClients.load(), 0);
}

TEST_F(RunnerFixture, TheDefaultQueueGoesToTheRelayHostOrByDnsAndNoExternalDeliveryWaitsForForce) {
  Queue("MAILHUB");
  COutboundRunner runner(context);
  runner.RunOutboundQueues(false);
  runner.WaitIdle();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_TRUE(started[0].dnsMode);  // no relay host enabled
  EXPECT_EQ(started[0].port, 2526);
  started.clear();
  settings.MutableValues().smtp.mailHubEnabled = 1;
  settings.MutableValues().smtp.etrn = 1;
  settings.Publish();
  runner.RunOutboundQueues(false);
  runner.WaitIdle();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_FALSE(started[0].dnsMode);
  EXPECT_EQ(started[0].destination, "relay.test");
  EXPECT_TRUE(started[0].etrn);
  started.clear();
  settings.MutableValues().smtp.mailHubEnabled = 0;
  settings.MutableValues().smtp.noExternalDelivery = 1;
  settings.Publish();
  runner.RunOutboundQueues(false);
  EXPECT_TRUE(StartedQueues(runner).empty());
  runner.RunOutboundQueues(true);
  // A forced run: the default queue, and the empty queue whose host is asked with ETRN.
  EXPECT_EQ(StartedQueues(runner), (std::vector<std::string>{"MAILHUB", "callin.000"}));
}

TEST_F(RunnerFixture, AQueueNeverHasTwoClientsAndACallInWhileItRunsIsPending) {
  Queue("callin.000");
  hold = true;
  COutboundRunner runner(context);
  EXPECT_EQ(runner.StartDelivery("callin.000", "192.0.2.7", 25), 0);
  ASSERT_TRUE(WaitRunning(1));
  EXPECT_TRUE(runner.Busy());
  EXPECT_EQ(counters.smtpClients.load(), 1);
  EXPECT_EQ(runner.StartDelivery("CALLIN.000", "192.0.2.7", 25), 1);  // names without case
  runner.RunOutboundQueues(true);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].destination, "192.0.2.7");
    EXPECT_FALSE(started[0].dnsMode);
  }
  Release();
  runner.WaitIdle();
  EXPECT_FALSE(runner.Busy());
  EXPECT_EQ(counters.smtpClients.load(), 0);
  // Free again: the next call-in starts a client.
  EXPECT_EQ(runner.StartDelivery("callin.000", "192.0.2.7", 25), 0);
  EXPECT_EQ(StartedQueues(runner).size(), 2u);
  // Another host naming the domain, or a queue without a record, gets nothing.
  EXPECT_EQ(runner.StartDelivery("callin.000", "192.0.2.8", 25), -1);
  EXPECT_EQ(runner.StartDelivery("nosuch.000", "192.0.2.7", 25), -1);
  EXPECT_TRUE(StartedQueues(runner).empty());
}

// The process-wide count of client sessions: a run that would take it past the limit starts
// nothing (the queue waits for the next run); one below the limit still starts.
TEST_F(RunnerFixture, TheSessionLimitLetsTheLastClientStartAndNoneBeyondIt) {
  Queue("MAILHUB");
  COutboundRunner runner(context);
  counters.smtpClients = kMaxClientSessions;
  runner.RunOutboundQueues(false);
  EXPECT_TRUE(StartedQueues(runner).empty());
  EXPECT_EQ(counters.smtpClients.load(), kMaxClientSessions);
  counters.smtpClients = kMaxClientSessions - 1;
  runner.RunOutboundQueues(false);
  EXPECT_EQ(StartedQueues(runner), std::vector<std::string>{"MAILHUB"});
  EXPECT_EQ(counters.smtpClients.load(), kMaxClientSessions - 1);
}

TEST_F(RunnerFixture, NothingStartsWhileTheServerStops) {
  Queue("MAILHUB");
  Queue("timed.000");
  counters.stopping = true;
  COutboundRunner runner(context);
  runner.RunOutboundQueues(true);
  EXPECT_EQ(runner.StartDelivery("callin.000", "192.0.2.7", 25), 0);
  EXPECT_TRUE(StartedQueues(runner).empty());
}

}  // namespace
}  // namespace outbound
