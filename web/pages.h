// The extension's command vocabulary: the command table (each command with its parameter list
// and its page) and the pages of the commands recognised before the table.
//
// A page that has not landed yet is nullptr here; the dispatch answers such a command with
// status 501 and the NOT IMPLEMENTED page. Wiring a page in is one change in pages.cpp: put its
// function where the table says nullptr.
//
// Page contract: a table page gets the request (its response already started as HTML) and the
// bound parameters, writes its page into request.Response(), and returns kWebOk or a failure
// code of web_results.h (the dispatch then answers with the matching error page). A page of the
// second kind starts its response itself. Values from the request are written escaped.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "web/command_params.h"
#include "web/form_variables.h"
#include "web/web_request.h"

namespace web {

using TablePage = int (*)(CWebRequest& request, const CCommandParams& params);
// "ShowForm", "GetPart", "SendForm": the raw query text (GET) or body (POST).
using TextPage = int (*)(CWebRequest& request, std::string_view text);
// "Mailbox", "Pop3Acc", "ProcessForm": the decoded form, and the body text of a URL-encoded post
// ("" for a multipart one). File fields hold "<upload path>\0<file name>\0"; the page removes the
// upload files it has consumed.
using FormPage = int (*)(CWebRequest& request, CFormVariables& form, std::string_view text);

struct CommandEntry {
  const char* name;
  const ParamSpec* params;
  size_t count;
  TablePage page;  // nullptr: not implemented yet (501)
};

struct CPageTable {
  std::span<const CommandEntry> commands;
  TextPage showForm = nullptr;
  TextPage getPart = nullptr;
  TextPage sendForm = nullptr;
  FormPage mailbox = nullptr;
  FormPage pop3Acc = nullptr;
  FormPage processForm = nullptr;
};

// The table of this build.
const CPageTable& DefaultPages();
// The entry of `name` (without regard to case), or nullptr.
const CommandEntry* FindCommand(const CPageTable& pages, std::string_view name);

// "Install": the heading "Installation" and "Installation complete"; `cmd` is not used.
int InstallPage(CWebRequest& request, const CCommandParams& params);

}  // namespace web
