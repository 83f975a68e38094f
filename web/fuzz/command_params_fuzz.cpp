// Fuzz target: the parameter parser of the command table. The input is a query ("Command&a=b...");
// the command is looked up and its parameters bound. A successful binding has one value per
// declared parameter, integers that read back from their text, and never fails on a table default.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/command_params.h"
#include "web/pages.h"
#include "web/web_results.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string query(reinterpret_cast<const char*>(data), size);
  std::string command;
  std::string_view rest;
  web::SplitCommand(query, &command, &rest);
  if (rest.size() > query.size()) __builtin_trap();
  const web::CPageTable& pages = web::DefaultPages();
  const web::CommandEntry* entry = web::FindCommand(pages, command);
  // Unknown commands are bound against the largest list, so the parser sees every input.
  if (entry == nullptr) entry = web::FindCommand(pages, "ServerProp");
  web::CCommandParams params;
  int rc = web::BindParameters(entry->params, entry->count, rest, &params);
  if (rc == web::kWebOk) {
    if (params.Count() != entry->count) __builtin_trap();
    for (size_t i = 0; i < entry->count; ++i) {
      const web::ParamSpec& param = entry->params[i];
      if (!params.Has(param.name)) __builtin_trap();
      if (param.kind == web::ParamKind::kInt &&
          std::strtol(params.Raw(param.name).c_str(), nullptr, 10) != params.Int(param.name)) {
        __builtin_trap();
      }
      if (params.Raw(param.name) == "{0}" && !params.Text(param.name).empty()) __builtin_trap();
    }
  } else if (rc != web::kWebMissingParam && rc != web::kWebParamCount &&
             rc != web::kWebParamFormat) {
    __builtin_trap();
  }
  return 0;
}
