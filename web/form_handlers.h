// The template engine's pages in the extension: form submission ("ShowForm" by GET, "SendForm"
// by POST), the form processor ("ProcessForm", multipart) and template pages for the session and
// administration pages.
//
// CWebTemplateHost lets the engine work inside one CWebRequest: the browser output is the
// request's response, and the settings are the extension's paths, [Kaldor] keys and branding of
// this request. Pages return kWebOk (their answer, error pages included, is in the response).
// One request, one thread.
#pragma once

#include <string_view>

#include "web/form_variables.h"
#include "web/template/form_pages.h"
#include "web/template/template_host.h"
#include "web/web_request.h"

namespace web {

class CWebTemplateHost : public ITemplateHost {
 public:
  explicit CWebTemplateHost(CWebRequest& request);
  void WriteBrowser(std::string_view text) override;
  const CTemplateSettings& Settings() const override { return settings_; }

 private:
  CWebRequest& request_;
  CTemplateSettings settings_;
};

// "ShowForm" and "SendForm": the raw query text or body.
int FormSubmissionPage(CWebRequest& request, std::string_view text);
// "ProcessForm": the fields of the multipart body. Upload files are not used by the processor:
// a file field's variable is its original file name, and the upload file is removed.
int FormProcessorPage(CWebRequest& request, CFormVariables& form, std::string_view text);
// A template page (standard variables, template lookup, copyright notice) for the other pages.
int ShowWebTemplatePage(CWebRequest& request, const TemplatePage& page);

}  // namespace web
