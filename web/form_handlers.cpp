#include "web/form_handlers.h"

#include "platform/fs.h"
#include "web/web_results.h"

namespace web {

CWebTemplateHost::CWebTemplateHost(CWebRequest& request) : request_(request) {
  const CExtensionServer& server = request.Server();
  const KaldorSettings& k = request.Settings();
  settings_.home = server.Paths().home;
  settings_.tempDir = server.Paths().temp;
  settings_.webrootDir = k.webrootdir;
  settings_.kaldorAlias = k.kaldoralias;
  settings_.admDelay = k.admdelay;
  settings_.domain = server.Domain();
  if (!server.Brand().oemname.empty()) settings_.oemName = server.Brand().oemname;
  if (!server.Brand().oemsoft.empty()) settings_.oemSoft = server.Brand().oemsoft;
}

void CWebTemplateHost::WriteBrowser(std::string_view text) { request_.Response().Write(text); }

int FormSubmissionPage(CWebRequest& request, std::string_view text) {
  request.Response().StartHtml();
  CWebTemplateHost host(request);
  CTemplateRequest req(&host);
  return SubmitForm(req, text) == 0 ? kWebOk : kWebFailed;
}

int FormProcessorPage(CWebRequest& request, CFormVariables& form, std::string_view) {
  request.Response().StartHtml();
  FormFields fields;
  fields.reserve(form.Count());
  for (size_t i = 0; i < form.Count(); ++i) {
    const std::string& value = form.ValueAt(i);
    if (!form.IsUploadAt(i)) {
      // A text field is text, NUL bytes and all: it names no file to remove.
      fields.emplace_back(form.NameAt(i), value);
      continue;
    }
    // "<upload path>\0<file name>\0": the name is the value; the file is not kept.
    size_t nul = value.find('\0');
    platform::RemoveFile(value.substr(0, nul));
    std::string name = value.substr(nul + 1);
    if (!name.empty() && name.back() == '\0') name.pop_back();
    fields.emplace_back(form.NameAt(i), name);
  }
  CWebTemplateHost host(request);
  CTemplateRequest req(&host);
  return ProcessForm(req, fields) == 0 ? kWebOk : kWebFailed;
}

int ShowWebTemplatePage(CWebRequest& request, const TemplatePage& page) {
  request.Response().StartHtml();
  CWebTemplateHost host(request);
  CTemplateRequest req(&host);
  return ShowTemplatePage(req, page) == 0 ? kWebOk : kWebFailed;
}

}  // namespace web
