// The template engine: runs an HTML template with embedded directives ("<!--ISW ...-->") and
// variable references ("(*name*)") against the variables of a request, writing to the browser,
// to a file, or to both.
//
// Every value is written with its origin in mind: text that came from a request is escaped
// (variable_table.h), so it never becomes markup, a directive or a reference in a page or in a
// file written by a run. Paths built from request text must lie inside the web root, the home
// directory's "kaldor" directory or the page's account directory, and SYSTEM never runs a
// program named by request text (request text in its arguments is passed without a shell).
// Files written by runs, INI-SAVE and LINK are replaced through a temporary file under a lock.
// INCLUDE and MERGE nest at most kMaxTemplateDepth deep.
//
// RunTemplate returns 0 (also when END or a failed CHECK ended the run) or -1 when the template
// or the output file cannot be opened ("Cannot open file [%s]<BR>" is added to the request's
// messages). One request, one thread.
#pragma once

#include <string>

#include "web/template/template_host.h"

namespace web {

constexpr int kMaxTemplateDepth = 16;
constexpr long kMaxRepeatRounds = 100000;
constexpr size_t kMaxTemplateSize = 4 * 1024 * 1024;

[[nodiscard]] int RunTemplate(CTemplateRequest& req, const std::string& templatePath,
                              const std::string& outputPath = std::string(), bool append = false,
                              bool toBrowser = true);

// The roots that paths made from request text may reach.
std::vector<std::string> AllowedRoots(const CTemplateRequest& req);

// "Copyright (c) <year> <company>. All rights reserved."
std::string CopyrightNotice(const CTemplateSettings& settings, int year);

}  // namespace web
