// CExtensionServer: the one extension object of libkaldor.so, from library load to unload.
//
// Start() finds the home directory (TORVIK.INI in the Windows directory, section Settings, key
// HomeDir), derives the paths, chooses the temporary directory, and reads the postmaster, the
// mail domain, the branding texts and the [Kaldor] keys of NEXUM2.INI. Without a home directory
// web administration is off (level 0) and the paths stay empty. ReloadSettings() rereads the
// [Kaldor] keys; every request calls it and works on the copy it returns.
//
// Threads: many requests run at once. The settings are replaced under a mutex and handed out as
// copies, so a request never sees another's half-written reload. Paths, postmaster, domain and
// branding are set by Start() before the first request and not changed afterwards.
#pragma once

#include <mutex>
#include <string>

namespace web {

constexpr char kDefaultTitle[] = "Email Messages Server";
constexpr char kExtensionVersion[] = "199907.M";

// The [Kaldor] section of NEXUM2.INI.
struct KaldorSettings {
  std::string version;
  long admlevel = 2;
  long admdelay = 300;
  long javascript = 1;
  std::string webrootdir;
  std::string webroot;  // URL prefix, "" or ending in "/"
  std::string kaldoralias = "kaldor.dll";
  std::string refererControl;  // http_referer_control
  std::string footerPath;      // footer.js in webrootdir
};

struct ExtensionPaths {
  std::string home;
  std::string temp;  // uploads and other temporary files; private to the host's user
  std::string command;
  std::string mailin;
  std::string inqueue;
  std::string serverIni;   // NEXUM2.INI
  std::string consoleIni;  // QUORVALE.INI
  std::string oemIni;      // OEM.INI
  std::string firewall;    // FIREWALL.CFG
  std::string commandTxt;  // COMMAND/COMMAND.TXT
  std::string commandIni;  // COMMAND/COMMAND.INI
};

struct Branding {
  std::string oemname, oemsoft, oemsupp, oeminfo, oemsite, oemadrs;
  long oemgate = 0;
};

// "files" -> "files/", "" stays "".
std::string WebRootPrefix(std::string_view webroot);

class CExtensionServer {
 public:
  CExtensionServer() = default;
  CExtensionServer(const CExtensionServer&) = delete;
  CExtensionServer& operator=(const CExtensionServer&) = delete;

  // 0, or -1 when a home directory is named but its temporary directory cannot be made private
  // (uploads are then refused; the extension still answers).
  [[nodiscard]] int Start();
  KaldorSettings ReloadSettings();
  KaldorSettings Settings() const;

  const ExtensionPaths& Paths() const { return paths_; }
  const std::string& PostMaster() const { return postmaster_; }
  const std::string& Domain() const { return domain_; }
  const Branding& Brand() const { return brand_; }
  const char* Delimiter() const { return "&"; }
  const char* Title() const { return kDefaultTitle; }

 private:
  void ChooseTemporaryDirectory();

  ExtensionPaths paths_;
  std::string postmaster_;
  std::string domain_;
  Branding brand_;
  mutable std::mutex mutex_;
  KaldorSettings settings_;
};

}  // namespace web
