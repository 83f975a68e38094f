// Pages built on the template engine: template pages with their standard variables, the form
// submission service that mails a web form to an account ("ShowForm", "SendForm") and the form
// processor that turns a submitted form into generated pages ("ProcessForm").
//
// Every field of a form is request text: it is set as a request variable, validated when the
// form asks for it, and escaped wherever it reaches a page. Paths named by fields ("_answer_",
// "_outpage_", "_outtemp_") must not hold ".." and must stay inside the web root or the account's
// directory. Delivery goes through the host's QueueMail, or for the pager gateway format through a
// gate file in the in-queue.
//
// Results: 0 the page was shown (also an error page), -1 nothing could be shown. One request, one
// thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/template/template_host.h"

namespace web {

using FormFields = std::vector<std::pair<std::string, std::string>>;

constexpr size_t kMaxFormName = 63;
constexpr size_t kMaxFormSubject = 127;
constexpr size_t kMaxFormPath = 255;
constexpr size_t kMaxPagerText = 4096;

enum FormFormat {
  kFormatMail = 0,
  kFormatIni = 1,
  kFormatCsv = 2,
  kFormatTab = 3,
  kFormatGate = 4,
  kFormatPager = 5,
  kFormatOther = 6
};

struct TemplatePage {
  std::string name;  // a template file, or a name looked up as "<name>.htm"
  std::string title;
  std::string session;  // `_jid`; empty for a page without a session
  std::string account;
  bool isMaster = false;
  bool upload = false;  // the page's form sends files
  std::string command;  // command of the page's form
};

int ShowTemplatePage(CTemplateRequest& req, const TemplatePage& page);

// "+" and "%XX" decoded; names are taken as written. Items without "=" are not fields.
FormFields DecodeFormFields(std::string_view text);
std::string UrlDecode(std::string_view text);

// Checks a field whose name is [or][tan]_label: 0 valid (or not a checked field), -1 failed with
// the message appended to `*messages`. Blanks around a valid number or address are removed.
int ValidateField(const std::string& name, std::string* value, std::string* messages);

// "_format_": a number 0 to 6 or INI, CSV, TAB, GATE, PAGER (without case); anything else 0.
int FormFormatOf(const std::string& text);

// "ShowForm" (GET query) and "SendForm" (POST body): the raw URL-encoded text.
int SubmitForm(CTemplateRequest& req, std::string_view query);

// "ProcessForm": the fields of a multipart body, in order.
int ProcessForm(CTemplateRequest& req, const FormFields& fields);

}  // namespace web
