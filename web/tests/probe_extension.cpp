// A build of the extension for the integration tests: the command table of libkaldor.so, with
// probe pages for "ProcessForm" (multipart) and "Mailbox" (URL-encoded) that list the variables
// they receive and keep the upload files, so that a test can compare them with what it sent.
// Each variable is one line: name, TAB, length, and for a file field TAB path TAB file size.
#include <cstdio>
#include <string>

#include "platform/fs.h"
#include "web/extension_proc.h"
#include "web/isapi.h"
#include "web/template/variable_table.h"
#include "web/url_decoder.h"
#include "web/web_results.h"

namespace {

web::CExtensionServer* g_server = nullptr;

int ListForm(web::CWebRequest& request, web::CFormVariables& form, std::string_view) {
  web::CResponse& out = request.Response();
  out.StartHtml();
  out.Write("<pre>\n");
  for (size_t i = 0; i < form.Count(); ++i) {
    const std::string& value = form.ValueAt(i);
    std::string line = web::EscapeRequestText(form.NameAt(i)) + "\t" + std::to_string(value.size());
    size_t nul = value.find('\0');
    if (nul != std::string::npos) {
      std::string path = value.substr(0, nul);
      line += "\t" + web::EscapeRequestText(path) + "\t" + std::to_string(platform::FileSize(path));
    } else {
      line += "\t" + web::EscapeRequestText(value);
    }
    out.Write(line + "\n");
  }
  out.Write("</pre>\n");
  return web::kWebOk;
}

web::CPageTable ProbePages() {
  web::CPageTable pages = web::DefaultPages();
  pages.processForm = ListForm;
  pages.mailbox = ListForm;
  return pages;
}

__attribute__((constructor)) void LoadProbe() {
  g_server = new web::CExtensionServer();
  if (g_server->Start() != 0)
    std::fprintf(stderr, "kaldor probe: no private temporary directory\n");
}

__attribute__((destructor)) void UnloadProbe() {
  delete g_server;
  g_server = nullptr;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int GetExtensionVersion(KaldorVersionInfo* info) {
  if (g_server == nullptr || info == nullptr) return 0;
  info->version = KALDOR_INTERFACE_VERSION;
  std::snprintf(info->description, sizeof info->description, "%s", "Kaldor Extension (probe)");
  return 1;
}

__attribute__((visibility("default"))) uint32_t HttpExtensionProc(KaldorControlBlock* block) {
  static const web::CPageTable pages = ProbePages();
  try {
    return web::RunExtensionRequest(g_server, block, pages);
  } catch (...) {
    block->status = 500;
    return KALDOR_STATUS_ERROR;
  }
}

__attribute__((visibility("default"))) int Ims_ApiLoad(void) { return 0; }

}  // extern "C"
