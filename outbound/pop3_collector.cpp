#include "outbound/pop3_collector.h"

#include <utility>

#include "core/jobs.h"
#include "core/log_set.h"
#include "core/settings.h"
#include "platform/text.h"
#include "store/account_table.h"

namespace outbound {

namespace {

// The log prefix of lines that belong to no connection.
constexpr char kNoPeer[] = "0.0.0.0";

bool IsSharedArgument(const std::string& argument) {
  return (!argument.empty() && argument[0] == '-') ||
         platform::EqualNoCase(argument, store::kDefaultAccount);
}

}  // namespace

CPOP3Collector::CPOP3Collector(Pop3ClientContext context, core::CSessionCounters* counters)
    : context_(std::move(context)), counters_(counters) {
  context_.counters = counters;
}

CPOP3Collector::~CPOP3Collector() { WaitIdle(); }

bool CPOP3Collector::Stopping() const { return counters_ && counters_->stopping; }

void CPOP3Collector::LowLog(const std::string& text) {
  if (context_.logs)
    (void)context_.logs->Write(core::LogId::kPopcLow, std::string(kNoPeer) + ": " + text);
}

int CPOP3Collector::GetPop3Mail(const std::string& argument) {
  workers_.Reap();
  if (Stopping()) return 0;
  int mode = context_.settings ? context_.settings->Snapshot()->smtp.pop3Client : 1;
  if (argument.empty()) {
    if (mode == 0) return 0;
    return StartThread("*", [this] { RunAllAccounts(); });
  }
  if (IsSharedArgument(argument)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (sharedRunning_) return 0;
      sharedRunning_ = true;
    }
    auto client = std::make_shared<CPOP3Client>(context_, store::kDefaultAccount, true);
    int rc = StartThread(store::kDefaultAccount, [this, client] {
      if (client->LoadSlots() > 0) (void)client->Run();
      std::lock_guard<std::mutex> lock(mutex_);
      sharedRunning_ = false;
    });
    if (rc != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      sharedRunning_ = false;
    }
    return rc;
  }
  auto table = context_.accounts->Snapshot();
  const store::CAccount* account = table->FindAccount(argument);
  if (account == nullptr) return -1;
  if (mode == 2 && account->pop3Client == 0) return 0;
  std::string name = account->name;
  if (!TakeAccount(name)) return 0;
  auto client = std::make_shared<CPOP3Client>(context_, name, false);
  if (client->LoadSlots() == 0) {
    ReleaseAccount(name);
    return 0;
  }
  int rc = StartThread(name, [this, client, name] {
    (void)client->Run();
    ReleaseAccount(name);
  });
  if (rc != 0) ReleaseAccount(name);
  return rc;
}

void CPOP3Collector::RunAllAccounts() {
  auto table = context_.accounts->Snapshot();
  int mode = context_.settings ? context_.settings->Snapshot()->smtp.pop3Client : 1;
  for (const store::CAccount& account : table->Accounts()) {
    if (Stopping()) break;
    if (account.deleted || platform::EqualNoCase(account.name, store::kDefaultAccount)) continue;
    if (mode == 2 && account.pop3Client == 0) continue;
    if (!TakeAccount(account.name)) continue;
    CPOP3Client client(context_, account.name, false);
    if (client.LoadSlots() > 0) (void)client.Run();
    ReleaseAccount(account.name);
  }
}

int CPOP3Collector::StartThread(const std::string& name, std::function<void()> body) {
  if (counters_) ++counters_->pop3Clients;
  long number = ++runNumber_;
  bool started = workers_.Start([this, number, name, body = std::move(body)] {
    LowLog("POP3 Cli: thread start: " + std::to_string(number) + ", " + name);
    body();
    LowLog("POP3 Cli: thread stop : " + std::to_string(number) + ", " + name);
    if (counters_) --counters_->pop3Clients;
  });
  if (!started) {
    if (counters_) --counters_->pop3Clients;
    return -1;
  }
  return 0;
}

bool CPOP3Collector::TakeAccount(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_.insert(platform::ToLower(name)).second;
}

void CPOP3Collector::ReleaseAccount(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_.erase(platform::ToLower(name));
}

bool CPOP3Collector::Busy() const { return workers_.Busy(); }

void CPOP3Collector::WaitIdle() { workers_.WaitIdle(); }

}  // namespace outbound
