#include "core/message_sink.h"

#include "core/logger.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "platform/terminal.h"

namespace core {
namespace {

class CTerminalChannel : public IOperatorChannel {
 public:
  void Show(MessageKind kind, const std::string& text) override {
    const char* prefix = kind == MessageKind::kInformation ? "" : kind == MessageKind::kWarning
                                                                      ? "Warning: "
                                                                      : "Error: ";
    platform::ShowOperatorText(prefix + text);
  }
  int Ask(QuestionKind kind, const std::string& text) override {
    using platform::Choice;
    switch (kind) {
      case QuestionKind::kOkCancel:
        return platform::AskOperator(
            text, {Choice{"OK", kAnswerOk, 'o'}, {"Cancel", kAnswerCancel, 'c'}}, kAnswerCancel);
      case QuestionKind::kYesNoCancel:
        return platform::AskOperator(
            text,
            {{"Yes", kAnswerYes, 'y'}, {"No", kAnswerNo, 'n'}, {"Cancel", kAnswerCancel, 'c'}},
            kAnswerCancel);
      case QuestionKind::kYesNoDefaultYes:
        return platform::AskOperator(text, {{"Yes", kAnswerYes, 'y'}, {"No", kAnswerNo, 'n'}},
                                     kAnswerYes);
      case QuestionKind::kYesNoDefaultNo:
        break;
    }
    return platform::AskOperator(text, {{"Yes", kAnswerYes, 'y'}, {"No", kAnswerNo, 'n'}},
                                 kAnswerNo);
  }
};

const char* Tag(MessageKind kind) {
  switch (kind) {
    case MessageKind::kInformation:
      return "   OK";
    case MessageKind::kWarning:
      return " STOP";
    case MessageKind::kError:
    case MessageKind::kErrorAlways:
      break;
  }
  return "ERROR";
}

}  // namespace

std::unique_ptr<IOperatorChannel> MakeTerminalChannel() {
  return std::make_unique<CTerminalChannel>();
}

CMessageSink::CMessageSink(std::string messageLog, std::unique_ptr<IOperatorChannel> channel)
    : messageLog_(std::move(messageLog)), channel_(std::move(channel)) {}

void CMessageSink::Message(MessageKind kind, const std::string& text) {
  if (operator_) {
    channel_->Show(kind, text);
    if (kind == MessageKind::kErrorAlways) AppendMessageLog(Tag(kind), text);
    return;
  }
  AppendMessageLog(Tag(kind), text);
}

int CMessageSink::Ask(QuestionKind kind, const std::string& text) {
  if (operator_) return channel_->Ask(kind, text);
  switch (kind) {
    case QuestionKind::kOkCancel:
      return kAnswerOk;
    case QuestionKind::kYesNoCancel:
    case QuestionKind::kYesNoDefaultYes:
      return kAnswerYes;
    case QuestionKind::kYesNoDefaultNo:
      break;
  }
  return kAnswerNo;
}

void CMessageSink::EmptyMessageLog() {
  if (!messageLog_.empty()) (void)platform::TruncateFile(messageLog_);
}

void CMessageSink::AppendMessageLog(const char* tag, const std::string& text) {
  std::string line = LogTimestamp(platform::Now()) + " " + tag + ": " + text;
  platform::ShowOperatorText(line);  // the journal of a service keeps standard error
  if (!messageLog_.empty()) (void)platform::AppendToFile(messageLog_, line + "\r\n");
}

}  // namespace core
