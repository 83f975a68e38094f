#include "store/store_paths.h"

#include "platform/path.h"

namespace store {
namespace {

std::string Under(const std::string& home, const std::string& relative) {
  return platform::ResolvePath(platform::JoinPath(home, relative));
}

}  // namespace

std::string InqueueDir(const std::string& home) { return Under(home, kInqueueName); }

std::string OutqueueRoot(const std::string& home) { return Under(home, kOutqueueName); }

std::string OutqueueDir(const std::string& home, const std::string& queue) {
  return Under(home, std::string(kOutqueueName) + "/" + queue);
}

std::string MailinRoot(const std::string& home) { return Under(home, kMailinName); }

std::string MailboxDir(const std::string& home, const std::string& account) {
  return Under(home, std::string(kMailinName) + "/" + account);
}

}  // namespace store
