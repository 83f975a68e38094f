// Test doubles for the core: recording jobs and a scripted operator.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "core/jobs.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "platform/fs.h"

namespace core {

// Records which jobs ran, in order.
class CRecordingJobs : public IServerJobs {
 public:
  void RunDistribution() override { ran.push_back("distribution"); }
  void RunCommandQueue() override { ran.push_back("commands"); }
  void CollectPop3(bool users) override { ran.push_back(users ? "pop3-users" : "pop3"); }
  void RunOutboundQueues(bool force) override {
    ran.push_back(force ? "outbound-force" : "outbound");
  }
  bool OutboundBusy() override { return outboundBusy; }
  bool PollUucp() override {
    ran.push_back("uucp-poll");
    return uucpCompleted;
  }
  void RunUucpExchange() override { ran.push_back("uucp-exchange"); }
  void StopGates() override { ran.push_back("stop-gates"); }
  void StartGates() override { ran.push_back("start-gates"); }
  void ShutdownUucp() override { ran.push_back("uucp-shutdown"); }

  int Count(const std::string& job) const {
    int n = 0;
    for (const auto& r : ran) n += r == job;
    return n;
  }

  std::vector<std::string> ran;
  bool outboundBusy = false;
  bool uucpCompleted = false;
};

// An operator that answers from a script and remembers what it was shown.
class CScriptedOperator : public IOperatorChannel {
 public:
  explicit CScriptedOperator(std::vector<std::string>* shown, std::deque<int>* answers)
      : shown_(shown), answers_(answers) {}
  void Show(MessageKind, const std::string& text) override { shown_->push_back(text); }
  int Ask(QuestionKind, const std::string& text) override {
    shown_->push_back(text);
    if (answers_->empty()) return kAnswerNo;
    int a = answers_->front();
    answers_->pop_front();
    return a;
  }

 private:
  std::vector<std::string>* shown_;
  std::deque<int>* answers_;
};

inline std::string ReadText(const std::string& path) {
  std::string text;
  (void)platform::ReadWholeFile(path, &text);
  return text;
}

}  // namespace core
