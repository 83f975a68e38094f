#include "web/extension_server.h"

#include <cstdlib>
#include <optional>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"

namespace web {
namespace {

constexpr size_t kNameMax = 127;

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string WebRootPrefix(std::string_view webroot) {
  std::string prefix(webroot);
  if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
  return prefix;
}

int CExtensionServer::Start() {
  std::string home = platform::GetProfileString("TORVIK.INI", "Settings", "HomeDir", "", kNameMax);
  home = platform::NormaliseSeparators(home);
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.admlevel = 0;  // no home directory: web administration is off
    return 0;
  }
  paths_.home = home;
  paths_.command = platform::ResolvePath(platform::JoinPath(home, "COMMAND"));
  paths_.mailin = platform::ResolvePath(platform::JoinPath(home, "mailin"));
  paths_.inqueue = platform::ResolvePath(platform::JoinPath(home, "inqueue"));
  paths_.serverIni = platform::ResolvePath(platform::JoinPath(home, "NEXUM2.INI"));
  paths_.consoleIni = platform::ResolvePath(platform::JoinPath(home, "QUORVALE.INI"));
  paths_.oemIni = platform::ResolvePath(platform::JoinPath(home, "OEM.INI"));
  paths_.firewall = platform::ResolvePath(platform::JoinPath(home, "FIREWALL.CFG"));
  paths_.commandTxt = platform::ResolvePath(platform::JoinPath(paths_.command, "COMMAND.TXT"));
  paths_.commandIni = platform::ResolvePath(platform::JoinPath(paths_.command, "COMMAND.INI"));
  ChooseTemporaryDirectory();

  postmaster_ = platform::GetProfileString(paths_.serverIni, "SMTP", "PostMaster", "", kNameMax);
  domain_ = platform::GetProfileString(paths_.serverIni, "SMTP", "domain", "", kNameMax);
  const std::string& oem = paths_.oemIni;
  brand_.oemname = platform::GetProfileString(oem, "OEMINFO", "oemname", "Quorvale", 31);
  brand_.oemsoft =
      platform::GetProfileString(oem, "OEMINFO", "oemsoft", "Quorvale Mail Server", 31);
  brand_.oemsupp = platform::GetProfileString(oem, "OEMINFO", "oemsupp", "postmaster", 63);
  brand_.oeminfo = platform::GetProfileString(oem, "OEMINFO", "oeminfo", "Mail and web mail", 63);
  brand_.oemsite = platform::GetProfileString(oem, "OEMINFO", "oemsite", "", 63);
  brand_.oemadrs = platform::GetProfileString(oem, "OEMINFO", "oemadrs", "", 255);
  brand_.oemgate = platform::GetProfileLong(oem, "OEMINFO", "oemgate", 0);
  ReloadSettings();
  return paths_.temp.empty() ? -1 : 0;
}

// TMP, else TEMP, else H/TMP. Uploads must not be readable by others, so a shared directory
// from the environment gets a private subdirectory of this user; H/TMP is made private itself.
void CExtensionServer::ChooseTemporaryDirectory() {
  std::string base = EnvOrEmpty("TMP");
  if (base.empty()) base = EnvOrEmpty("TEMP");
  std::string dir;
  if (base.empty()) {
    dir = platform::ResolvePath(platform::JoinPath(paths_.home, "TMP"));
  } else {
    dir = platform::JoinPath(platform::NormaliseSeparators(base),
                             "kaldor-" + std::to_string(platform::EffectiveUserId()));
  }
  if (platform::EnsurePrivateDirectory(dir) == 0) paths_.temp = dir;
}

KaldorSettings CExtensionServer::ReloadSettings() {
  KaldorSettings s;
  if (paths_.home.empty()) {
    s.admlevel = 0;
  } else {
    // One reading of the file per request; the keys are taken from the parsed document.
    platform::CIniDocument doc;
    if (platform::LoadProfile(paths_.serverIni, &doc) != 0) doc = platform::CIniDocument();
    auto text = [&doc](const char* key, const char* def, size_t max) {
      std::string value = doc.Get("Kaldor", key).value_or(def);
      return value.substr(0, max);
    };
    auto number = [&doc](const char* key, long def) {
      std::optional<std::string> value = doc.Get("Kaldor", key);
      return value ? platform::ParseDecimal(*value) : def;
    };
    s.version = text("version", "", 15);
    if (s.version != kExtensionVersion &&
        platform::WriteProfileString(paths_.serverIni, "Kaldor", "version", kExtensionVersion) ==
            0) {
      s.version = kExtensionVersion;
    }
    s.admlevel = number("admlevel", 2);
    s.admdelay = number("admdelay", 300);
    s.javascript = number("javascript", 1);
    s.webrootdir = platform::NormaliseSeparators(text("webrootdir", "", kNameMax));
    s.webroot = WebRootPrefix(text("webroot", "", kNameMax));
    s.kaldoralias = text("kaldoralias", "kaldor.dll", kNameMax);
    s.refererControl = text("http_referer_control", "", kNameMax);
    s.footerPath = s.webrootdir.empty() ? std::string("footer.js")
                                        : platform::JoinPath(s.webrootdir, "footer.js");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = s;
  return s;
}

KaldorSettings CExtensionServer::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

}  // namespace web
