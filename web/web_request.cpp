#include "web/web_request.h"

#include "platform/text.h"
#include "web/web_results.h"

namespace web {
namespace {

constexpr const char* kVariableNames[8] = {"HTTP_REFERER", "SCRIPT_NAME", "REMOTE_ADDR",
                                           "REMOTE_HOST",  "PATH_INFO",   "PATH_TRANSLATED",
                                           "REMOTE_USER",  "AUTH_PASS"};

}  // namespace

CWebRequest::CWebRequest(KaldorControlBlock* block, const CExtensionServer& server,
                         KaldorSettings settings, CResponse* response)
    : block_(block), server_(server), settings_(std::move(settings)), response_(response) {
  for (size_t i = 0; i < 8; ++i) values_[i] = ReadVariable(kVariableNames[i]);
}

const std::string& CWebRequest::Variable(std::string_view name) const {
  static const std::string kEmpty;
  for (size_t i = 0; i < 8; ++i) {
    if (platform::EqualNoCase(name, kVariableNames[i])) return values_[i];
  }
  return kEmpty;
}

std::string CWebRequest::ReadVariable(const char* name) const {
  if (block_ == nullptr || block_->GetServerVariable == nullptr) return {};
  char buffer[kServerVariableMax];
  uint32_t size = sizeof buffer;
  if (block_->GetServerVariable(block_->connection, name, buffer, &size) == 0) return {};
  buffer[sizeof buffer - 1] = '\0';
  return std::string(buffer);
}

}  // namespace web
