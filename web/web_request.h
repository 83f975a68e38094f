// CWebRequest: the context one page works in, made by the dispatch before it calls the page code
// and destroyed right after.
//
// It holds the response being assembled, the extension object and the settings copy of this
// request, the page title, and the web server's variables, each read once at construction
// (HTTP_REFERER, SCRIPT_NAME, REMOTE_ADDR, REMOTE_HOST, PATH_INFO, PATH_TRANSLATED, REMOTE_USER,
// AUTH_PASS; a variable the host does not supply is ""). Values from the request are raw: a page
// writes them with CResponse::WriteEscaped. One per request; not shared between threads.
#pragma once

#include <string>
#include <string_view>

#include "web/extension_server.h"
#include "web/isapi.h"
#include "web/response.h"

namespace web {

class CWebRequest {
 public:
  CWebRequest(KaldorControlBlock* block, const CExtensionServer& server, KaldorSettings settings,
              CResponse* response);
  CWebRequest(const CWebRequest&) = delete;
  CWebRequest& operator=(const CWebRequest&) = delete;

  CResponse& Response() { return *response_; }
  const CExtensionServer& Server() const { return server_; }
  const KaldorSettings& Settings() const { return settings_; }
  KaldorControlBlock* Block() const { return block_; }

  // The variable read at construction (one of the eight above), or "".
  const std::string& Variable(std::string_view name) const;
  // Any other server variable, asked of the host now.
  std::string ReadVariable(const char* name) const;

  std::string title = kDefaultTitle;
  std::string account;  // the current account, once a session names one

 private:
  KaldorControlBlock* block_;
  const CExtensionServer& server_;
  KaldorSettings settings_;
  CResponse* response_;
  std::string values_[8];
};

}  // namespace web
