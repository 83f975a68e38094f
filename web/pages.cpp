#include "web/pages.h"

#include <iterator>

#include "platform/text.h"
#include "web/form_handlers.h"
#include "web/web_results.h"

namespace web {
namespace {

constexpr ParamKind T = ParamKind::kText;
constexpr ParamKind I = ParamKind::kInt;
constexpr const char* kReq = nullptr;  // a required parameter
constexpr const char* kAbs = kAbsentMarker;

// Parameter lists, in the order a positional value fills them.
constexpr ParamSpec kLogin[] = {{"name", T, kAbs}};
constexpr ParamSpec kMaster[] = {{"name", T, kAbs}, {"_acc", T, kAbs}};
constexpr ParamSpec kLoginForm[] = {{"_but", T, kReq},
                                    {"_jid", T, kReq},
                                    {"_acc", T, kAbs},
                                    {"uname", T, kAbs},
                                    {"pword", T, kAbs}};
constexpr ParamSpec kAdminForm[] = {{"_but", T, kReq},   {"_jid", T, kReq},  {"_acc", T, kAbs},
                                    {"usracc", T, kAbs}, {"uname", T, kAbs}, {"pword", T, kAbs}};
constexpr ParamSpec kButtonProc[] = {{"_but", T, kReq}, {"_jid", T, kAbs}, {"_acc", T, kAbs}};
constexpr ParamSpec kChangePassword[] = {{"_but", T, kReq},
                                         {"_jid", T, kReq},
                                         {"_acc", T, kReq},
                                         {"newpwd", T, kReq},
                                         {"chkpwd", T, kReq}};
constexpr ParamSpec kAccountProp[] = {
    {"_but", T, kReq},          {"_jid", T, kReq},         {"_acc", T, kReq},
    {"maxmsgnbr", I, "0"},      {"maxboxsiz", I, "0"},     {"maxmsgsiz", I, "0"},
    {"wantcopy", I, "0"},       {"wantforward", I, "0"},   {"toaddress", T, kReq},
    {"autoreply", I, "0"},      {"autoreplymsg", T, kReq}, {"onvacation", I, "0"},
    {"onvacationmsg", T, kReq}, {"signature", T, kReq},    {"islist", I, "0"},
    {"adrs", T, kReq},          {"name", T, kReq},         {"kaldorin", I, "0"},
    {"webusage", I, "0"},       {"webabook", I, "0"},      {"locked", I, "0"},
    {"readonly", I, "0"},       {"pageprof", T, kReq},     {"pop3cli", I, "0"}};
// The session's three and the sixty fields of the server settings page.
constexpr ParamSpec kServerProp[] = {{"_but", T, kReq},           {"_jid", T, kReq},
                                     {"_acc", T, kReq},           {"dnsserver1", T, kReq},
                                     {"dnsserver2", T, kReq},     {"dnsport", I, "53"},
                                     {"dnstimeout", I, "120"},    {"dnslogging", I, "0"},
                                     {"dnsenabled", I, "0"},      {"webroot", T, kReq},
                                     {"webrootdir", T, kReq},     {"kaldoralias", T, kReq},
                                     {"webcontrol", T, kReq},     {"kaldorlevel", T, "1"},
                                     {"webtimeout", I, "300"},    {"javascript", I, "0"},
                                     {"MailHub", T, kReq},        {"MailHubPort", I, "25"},
                                     {"LocalName", T, kReq},      {"pop3timeout", I, "120"},
                                     {"pop3port", I, "110"},      {"smtptimeout", I, "120"},
                                     {"smtpport", I, "25"},       {"NoExternalDelivery", I, "0"},
                                     {"DeliveryDelay", I, "0"},   {"DeliveryDelayUnit", T, "s"},
                                     {"fwSMTPSmartLog", I, "0"},  {"fwSPAMLog", I, "0"},
                                     {"fwMaxMsgSize", I, "0"},    {"fwMinDiskSpace", I, "0"},
                                     {"fwSmartRedirect", I, "0"}, {"fwSmartTo", T, kReq},
                                     {"fwSMTPLog", I, "0"},       {"fwSendReport", I, "0"},
                                     {"fwHighLogging", I, "0"},   {"fwLowLogging", I, "0"},
                                     {"smtplog", I, "0"},         {"lowsmtplog", I, "0"},
                                     {"smtpclog", I, "0"},        {"lowsmtpclog", I, "0"},
                                     {"poplog", I, "0"},          {"lowpoplog", I, "0"},
                                     {"LogMaxSize", I, "0"},      {"usefreq", I, "0"},
                                     {"deliver", I, "0"},         {"frequency", I, "0"},
                                     {"schedule", T, kReq},       {"saturday", I, "0"},
                                     {"sunday", I, "0"},          {"force", I, "0"},
                                     {"cmd_delay", I, "5"},       {"cmd_adminaddress", T, kReq},
                                     {"cmd_logging", I, "0"},     {"cmd_emailfeedback", I, "0"},
                                     {"line_size", I, "78"},      {"pop3clog", I, "1"},
                                     {"lowpop3clog", I, "0"},     {"pop3clidelay", I, "0"},
                                     {"pop3cliusr", I, "0"},      {"pop3usrdelay", I, "0"}};
constexpr ParamSpec kFirewallCfg[] = {
    {"_but", T, kReq},  {"_jid", T, kReq},    {"_acc", T, kReq},      {"firewall", T, "#"},
    {"hostip", T, "#"}, {"smtpip", T, "#"},   {"smtphelo", T, "#"},   {"smtpfrom", T, "#"},
    {"smtpto", T, "#"}, {"headerto", T, "#"}, {"headerfrom", T, "#"}, {"headersubj", T, "#"}};
constexpr ParamSpec kSrvFile[] = {
    {"_but", T, kReq}, {"_jid", T, kReq}, {"_acc", T, kReq}, {"fil", T, kReq}};
constexpr ParamSpec kAccount[] = {{"_but", T, kReq},
                                  {"_jid", T, kReq},
                                  {"_acc", T, kReq},
                                  {"selacc", T, kAbs},
                                  {"newacc", T, kAbs}};
constexpr ParamSpec kMailingList[] = {{"_but", T, kReq},
                                      {"_jid", T, kReq},
                                      {"_acc", T, kReq},
                                      {"MailListAddress", T, kReq},
                                      {"MailListRequest", T, kReq},
                                      {"Moderator", T, kReq},
                                      {"Moderated", I, "0"},
                                      {"ReadOnly", I, "0"},
                                      {"SubscribeSender", I, "0"},
                                      {"MailListSubsCmd", I, "0"},
                                      {"DiscardMessage", I, "0"},
                                      {"HasFiles", I, "0"},
                                      {"DocsPath", T, kReq},
                                      {"IsPublicFiles", I, "0"},
                                      {"islist", I, "0"},
                                      {"members", T, kAbs},
                                      {"newadrs", T, kAbs},
                                      {"newname", T, kAbs},
                                      {"status", I, "0"}};
constexpr ParamSpec kAliases[] = {{"_but", T, kReq},       {"_jid", T, kReq},
                                  {"_acc", T, kReq},       {"alias_sel", T, kAbs},
                                  {"alias_name", T, kAbs}, {"alias_adrs", T, kAbs}};
// The serial gateway page: the session's three here; its thirty fields come with that page.
constexpr ParamSpec kGate232[] = {{"_but", T, kReq}, {"_jid", T, kReq}, {"_acc", T, kReq}};
constexpr ParamSpec kInstall[] = {
    {"_but", T, kReq}, {"_jid", T, kReq}, {"_acc", T, kReq}, {"cmd", T, kAbs}};

#define QV_PARAMS(list) list, std::size(list)

// The command table. A page that has not landed is nullptr: the command answers 501.
constexpr CommandEntry kCommands[] = {
    {"Login", QV_PARAMS(kLogin), nullptr},                    // login page (sessions)
    {"Master", QV_PARAMS(kMaster), nullptr},                  // postmaster login (sessions)
    {"LoginForm", QV_PARAMS(kLoginForm), nullptr},            // sessions
    {"AdminForm", QV_PARAMS(kAdminForm), nullptr},            // sessions
    {"ButtonProc", QV_PARAMS(kButtonProc), nullptr},          // menu buttons (sessions)
    {"ChangePassword", QV_PARAMS(kChangePassword), nullptr},  // administration
    {"AccountProp", QV_PARAMS(kAccountProp), nullptr},        // administration
    {"ServerProp", QV_PARAMS(kServerProp), nullptr},          // administration
    {"FirewallCfg", QV_PARAMS(kFirewallCfg), nullptr},        // administration
    {"SrvFile", QV_PARAMS(kSrvFile), nullptr},                // administration
    {"Account", QV_PARAMS(kAccount), nullptr},                // administration
    {"MailingList", QV_PARAMS(kMailingList), nullptr},        // administration
    {"Aliases", QV_PARAMS(kAliases), nullptr},                // administration
    {"Gate232", QV_PARAMS(kGate232), nullptr},                // administration (gateway)
    {"Install", QV_PARAMS(kInstall), InstallPage},
    {"About", nullptr, 0, nullptr},    // About page (sessions)
    {"Default", nullptr, 0, nullptr},  // no command named: the About page (sessions)
};

#undef QV_PARAMS

// The commands recognised before the table. nullptr: 501 until the page lands.
const CPageTable kDefaultPages = {
    .commands = kCommands,
    .showForm = FormSubmissionPage,
    .getPart = nullptr,      // message part download (web mail)
    .sendForm = FormSubmissionPage,
    .mailbox = nullptr,      // mailbox and message pages (web mail)
    .pop3Acc = nullptr,      // remote POP3 accounts (web mail)
    .processForm = FormProcessorPage,
};

}  // namespace

const CPageTable& DefaultPages() { return kDefaultPages; }

const CommandEntry* FindCommand(const CPageTable& pages, std::string_view name) {
  for (const CommandEntry& entry : pages.commands) {
    if (platform::EqualNoCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

int InstallPage(CWebRequest& request, const CCommandParams&) {
  CResponse& out = request.Response();
  out.PageHead(request.title);
  out.Write("<H2>Installation</H2>\n<P>Installation complete</P>\n");
  // The standard link bar comes with the page frame of the session pages.
  out.PageEnd();
  return kWebOk;
}

}  // namespace web
