// The message sink: how the server tells its operator something or asks a question.
//
// With an operator present, messages are shown on the operator's terminal and questions are
// asked there. Without one (service mode, or no terminal), messages become lines of
// "message.log" in the home directory, "<dd/mm/yy HH:MM:SS> <tag>: <text>" with the tags "   OK",
// " STOP" and "ERROR", and each question gets its fixed answer (OK, Yes, Yes, No). Those lines
// are also echoed to standard error, where the service manager's journal keeps them. An
// error-always message is written to message.log in either case.
//
// Thread-safe for messages; questions come from the main thread.
#pragma once

#include <memory>
#include <string>

namespace core {

enum class MessageKind { kInformation, kWarning, kError, kErrorAlways };
enum class QuestionKind { kOkCancel, kYesNoCancel, kYesNoDefaultYes, kYesNoDefaultNo };

// Answers, numbered as the classic message-box results.
constexpr int kAnswerOk = 1;
constexpr int kAnswerCancel = 2;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

// Where an operator is reached; the terminal in the program, a script in tests.
class IOperatorChannel {
 public:
  virtual ~IOperatorChannel() = default;
  virtual void Show(MessageKind kind, const std::string& text) = 0;
  virtual int Ask(QuestionKind kind, const std::string& text) = 0;
};

// The terminal channel of platform/terminal.h.
std::unique_ptr<IOperatorChannel> MakeTerminalChannel();

class CMessageSink {
 public:
  // `messageLog` is the path of message.log; `channel` may be null (no operator ever).
  CMessageSink(std::string messageLog, std::unique_ptr<IOperatorChannel> channel);

  // Set once at start-up from the process's mode: is there an operator interface?
  void SetOperator(bool present) { operator_ = present && channel_ != nullptr; }
  bool HasOperator() const { return operator_; }
  void SetMessageLog(std::string path) { messageLog_ = std::move(path); }

  void Information(const std::string& text) { Message(MessageKind::kInformation, text); }
  void Warning(const std::string& text) { Message(MessageKind::kWarning, text); }
  void Error(const std::string& text) { Message(MessageKind::kError, text); }
  void ErrorAlways(const std::string& text) { Message(MessageKind::kErrorAlways, text); }
  void Message(MessageKind kind, const std::string& text);
  // Returns one of the kAnswer* values.
  int Ask(QuestionKind kind, const std::string& text);

  // Empties message.log (start of -server and -service).
  void EmptyMessageLog();

 private:
  void AppendMessageLog(const char* tag, const std::string& text);

  std::string messageLog_;
  std::unique_ptr<IOperatorChannel> channel_;
  bool operator_ = false;
};

}  // namespace core
