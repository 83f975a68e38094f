// kaldor-host: the web host of the extension. Serves the static web files under the `webroot`
// URL prefix from `webrootdir`, and hands every request under `kaldoralias` to libkaldor.so,
// loaded with dlopen, through the extension's control block (web/isapi.h).
//
// Each connection has its own thread (GNU libmicrohttpd, thread per connection). A request with a
// body runs the extension on a worker thread: the first piece of the body that arrives is the
// "delivered part", and the extension's ReadClient takes each further piece straight from the
// connection, so no more than a piece of the body is held in memory. Limits: listen address and
// port, connection limit, request time-out (the whole request, and the idle time of a
// connection) and body size are settings (command line). SIGTERM or SIGINT stops the host: the
// daemon finishes the running requests, then the library is unloaded. An access log line is
// written for every request.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "web/host/static_files.h"
#include "web/isapi.h"

namespace {

using Clock = std::chrono::steady_clock;

struct HostConfig {
  std::string listen = "127.0.0.1";
  unsigned port = 8080;
  unsigned maxConnections = 2000;
  unsigned timeoutSeconds = 60;
  uint64_t maxBody = 256ull * 1024 * 1024;
  std::string extension;  // path of libkaldor.so
  std::string accessLog;  // "" : standard output
  // From the [Kaldor] section of NEXUM2.INI in the home directory.
  std::string webroot;  // URL prefix without its leading "/", "" or ending in "/"
  std::string webrootdir;
  std::string alias = "kaldor.dll";
  std::string home;  // its files are never served as web files
};

// Cuts off connections whose client sends a request slower than the time-out allows: a client
// that sends one byte a second keeps the idle timer from firing, so each connection also has a
// deadline for its current request, and a watch thread shuts down the socket of one that passed.
// A request that has been read whole has no deadline until its answer is sent.
class CWatchdog {
 public:
  void Set(MHD_Connection* c, int fd, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(m_);
    entries_[c] = Entry{fd, deadline};
  }
  void Extend(MHD_Connection* c, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = entries_.find(c);
    if (it != entries_.end()) it->second.deadline = deadline;
  }
  // Called before MHD closes the socket, so a shutdown never reaches a reused descriptor.
  void Remove(MHD_Connection* c) {
    std::lock_guard<std::mutex> lock(m_);
    entries_.erase(c);
  }
  void Watch(std::stop_token stop) {
    while (!stop.stop_requested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      Clock::time_point now = Clock::now();
      std::lock_guard<std::mutex> lock(m_);
      for (auto& [connection, entry] : entries_) {
        if (entry.deadline > now) continue;
        ::shutdown(entry.fd, SHUT_RDWR);  // MHD sees the end of the stream and closes
        entry.deadline = Clock::time_point::max();
      }
    }
  }

 private:
  struct Entry {
    int fd;
    Clock::time_point deadline;
  };
  std::mutex m_;
  std::map<MHD_Connection*, Entry> entries_;
};

struct Host {
  HostConfig config;
  CWatchdog watchdog;
  KaldorHttpExtensionProcFn proc = nullptr;
  int logFd = 1;
  std::mutex logMutex;
};

enum class Route { kNotFound, kExtension, kStatic };

// One request, from its URI to the end of its answer.
struct Exchange {
  Host* host = nullptr;
  std::string rawUri;
  std::string method;
  std::string version;
  std::string path;   // raw, before "?"
  std::string query;  // raw, after "?"
  std::string pathInfo;
  std::string remoteAddr;
  std::vector<std::pair<std::string, std::string>> headers;
  Clock::time_point deadline;
  bool initialised = false;
  Route route = Route::kNotFound;

  // Body hand-over between the connection's thread and the extension's worker.
  std::mutex m;
  std::condition_variable cv;
  const char* chunk = nullptr;
  size_t chunkLen = 0;
  bool eof = false;
  bool aborted = false;
  bool done = false;
  bool started = false;
  uint64_t total = 0;
  std::string delivered;
  std::thread worker;

  // The answer.
  unsigned status = 0;
  std::vector<std::pair<std::string, std::string>> outHeaders;
  std::string body;
  uint64_t sentBytes = 0;
};

std::string Header(const Exchange& ex, std::string_view name) {
  for (const auto& h : ex.headers) {
    if (platform::EqualNoCase(h.first, name)) return h.second;
  }
  return {};
}

// ---- the control block's callbacks (run on the worker, or inline for a request without body)

std::string ServerVariable(const Exchange& ex, std::string_view name, bool* found) {
  *found = true;
  const HostConfig& cfg = ex.host->config;
  if (name == "REMOTE_ADDR" || name == "REMOTE_HOST") return ex.remoteAddr;
  if (name == "REQUEST_METHOD") return ex.method;
  if (name == "QUERY_STRING") return ex.query;
  if (name == "PATH_INFO") return ex.pathInfo;
  if (name == "SCRIPT_NAME") return "/" + cfg.alias;
  if (name == "SERVER_PORT") return std::to_string(cfg.port);
  if (name == "SERVER_PROTOCOL") return ex.version;
  if (name == "SERVER_SOFTWARE") return "kaldor-host";
  if (name == "CONTENT_TYPE") return Header(ex, "Content-Type");
  if (name == "CONTENT_LENGTH") return Header(ex, "Content-Length");
  if (name == "SERVER_NAME") {
    std::string host = Header(ex, "Host");
    if (host.empty()) return cfg.listen;
    if (host.front() == '[') return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
  }
  if (name.starts_with("HTTP_")) {
    std::string header(name.substr(5));
    for (char& c : header) c = c == '_' ? '-' : c;
    for (const auto& h : ex.headers) {
      if (platform::EqualNoCase(h.first, header)) return h.second;
    }
  }
  *found = false;
  return {};
}

int GetServerVariable(void* connection, const char* name, char* buffer, uint32_t* size) {
  const auto* ex = static_cast<const Exchange*>(connection);
  bool found = false;
  std::string value = ServerVariable(*ex, name != nullptr ? name : "", &found);
  if (!found || value.size() + 1 > *size) return 0;
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  *size = static_cast<uint32_t>(value.size() + 1);
  return 1;
}

int ReadClient(void* connection, void* buffer, uint32_t* size) {
  auto* ex = static_cast<Exchange*>(connection);
  std::unique_lock<std::mutex> lock(ex->m);
  bool ready = ex->cv.wait_until(lock, ex->deadline,
                                 [ex] { return ex->chunkLen > 0 || ex->eof || ex->aborted; });
  if (!ready || ex->aborted) {
    ex->aborted = true;
    ex->cv.notify_all();
    *size = 0;
    return 0;
  }
  size_t n = std::min<size_t>(*size, ex->chunkLen);
  if (n > 0) std::memcpy(buffer, ex->chunk, n);
  ex->chunk += n;
  ex->chunkLen -= n;
  if (ex->chunkLen == 0) ex->cv.notify_all();
  *size = static_cast<uint32_t>(n);
  return 1;
}

int WriteClient(void* connection, const void* buffer, uint32_t* size) {
  auto* ex = static_cast<Exchange*>(connection);
  ex->body.append(static_cast<const char*>(buffer), *size);
  return 1;
}

int SendResponseHeader(void* connection, const char* statusLine, const char* headers) {
  auto* ex = static_cast<Exchange*>(connection);
  ex->status = static_cast<unsigned>(std::atoi(statusLine != nullptr ? statusLine : "500"));
  std::string_view text = headers != nullptr ? headers : "";
  while (!text.empty()) {
    size_t end = text.find("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    ex->outHeaders.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return 1;
}

void RunExtension(Exchange* ex) {
  KaldorControlBlock block{};
  block.size = sizeof block;
  block.version = KALDOR_INTERFACE_VERSION;
  block.connection = ex;
  block.method = ex->method.c_str();
  block.queryString = ex->query.c_str();
  block.pathInfo = ex->pathInfo.c_str();
  std::string contentType = Header(*ex, "Content-Type");
  block.contentType = contentType.c_str();
  block.totalBytes = ex->total;
  block.availableBytes = ex->delivered.size();
  block.data = reinterpret_cast<const unsigned char*>(ex->delivered.data());
  block.GetServerVariable = GetServerVariable;
  block.ReadClient = ReadClient;
  block.WriteClient = WriteClient;
  block.SendResponseHeader = SendResponseHeader;
  uint32_t rc = ex->host->proc(&block);
  if (rc != KALDOR_STATUS_SUCCESS && ex->status == 0) {
    ex->status = block.status != 0 ? block.status : 500;
    ex->body.clear();
    ex->outHeaders.clear();
  }
  if (ex->status == 0) ex->status = 500;
  std::lock_guard<std::mutex> lock(ex->m);
  ex->done = true;
  ex->cv.notify_all();
}

// ---- answers

MHD_Result Answer(MHD_Connection* c, Exchange* ex) {
  MHD_Response* r =
      MHD_create_response_from_buffer(ex->body.size(), ex->body.data(), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  for (const auto& h : ex->outHeaders)
    MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
  ex->sentBytes = ex->body.size();
  MHD_Result rc = MHD_queue_response(c, ex->status, r);
  MHD_destroy_response(r);
  return rc;
}

MHD_Result Plain(MHD_Connection* c, Exchange* ex, unsigned status, const char* text) {
  ex->status = status;
  ex->body = std::string("<HTML><BODY><H1>") + text + "</H1></BODY></HTML>\r\n";
  ex->outHeaders = {{"Content-Type", "text/html"}};
  return Answer(c, ex);
}

MHD_Result ServeStatic(MHD_Connection* c, Exchange* ex, std::string_view below) {
  if (ex->method != "GET" && ex->method != "HEAD") return Plain(c, ex, 405, "Method Not Allowed");
  std::string relative;
  if (web_host::CheckStaticPath(below, &relative) != web_host::kStaticOk) {
    return Plain(c, ex, 403, "Forbidden");
  }
  int fd = -1;
  uint64_t size = 0;
  const HostConfig& cfg = ex->host->config;
  int rc = web_host::OpenBeneath(cfg.webrootdir, relative, &fd, &size, cfg.home);
  if (rc == web_host::kStaticRefused) return Plain(c, ex, 403, "Forbidden");
  if (rc != web_host::kStaticOk) return Plain(c, ex, 404, "Not Found");
  MHD_Response* r = MHD_create_response_from_fd(size, fd);  // the response closes fd
  if (r == nullptr) {
    ::close(fd);
    return MHD_NO;
  }
  MHD_add_response_header(r, "Content-Type", web_host::ContentTypeOf(relative));
  ex->status = 200;
  ex->sentBytes = size;
  MHD_Result result = MHD_queue_response(c, 200, r);
  MHD_destroy_response(r);
  return result;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* ex = static_cast<Exchange*>(cls);
  if (ex->headers.size() < 200) ex->headers.emplace_back(key, value != nullptr ? value : "");
  return MHD_YES;
}

// First call of a request: headers are in. Routes it, and refuses a body it will not take.
MHD_Result Begin(MHD_Connection* c, Exchange* ex, const char* method, const char* version) {
  ex->initialised = true;
  ex->method = method;
  ex->version = version;
  MHD_get_connection_values(c, MHD_HEADER_KIND, CollectHeader, ex);
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info != nullptr && info->client_addr != nullptr && info->client_addr->sa_family == AF_INET) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(info->client_addr);
    ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    ex->remoteAddr = text;
  }
  size_t q = ex->rawUri.find('?');
  ex->path = ex->rawUri.substr(0, q);
  ex->query = q == std::string::npos ? std::string() : ex->rawUri.substr(q + 1);

  const HostConfig& cfg = ex->host->config;
  std::string alias = "/" + cfg.alias;
  if (platform::EqualNoCase(ex->path, alias) ||
      (platform::StartsWithNoCase(ex->path, alias + "/"))) {
    ex->route = Route::kExtension;
    ex->pathInfo = ex->path.substr(alias.size());
  } else if (!cfg.webrootdir.empty() && ex->path.starts_with("/" + cfg.webroot)) {
    ex->route = Route::kStatic;
  } else {
    ex->route = Route::kNotFound;
  }

  // Refusals of a body answer at once (the connection is then closed, its body unread).
  std::string length = Header(*ex, "Content-Length");
  if (length.empty()) {
    if (!Header(*ex, "Transfer-Encoding").empty()) return Plain(c, ex, 411, "Length Required");
    ex->total = 0;
  } else {
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(length.c_str(), &end, 10);
    if (errno != 0 || end == length.c_str() || *end != '\0') {
      return Plain(c, ex, 400, "Bad Request");
    }
    ex->total = n;
  }
  if (ex->total > cfg.maxBody) return Plain(c, ex, 413, "Request Entity Too Large");
  // Everything else is answered once the request has been read, so the connection stays open.
  return MHD_YES;
}

// The answer to a request that has been read whole (a body, if any, went to the extension).
MHD_Result Finish(MHD_Connection* c, Exchange* ex) {
  ex->host->watchdog.Extend(c, Clock::time_point::max());
  if (ex->route == Route::kNotFound) return Plain(c, ex, 404, "Not Found");
  if (ex->route == Route::kStatic) {
    const HostConfig& cfg = ex->host->config;
    return ServeStatic(c, ex, std::string_view(ex->path).substr(1 + cfg.webroot.size()));
  }
  if (!ex->started) {
    ex->eof = true;
    ex->started = true;
    RunExtension(ex);  // no body arrived: on this thread
    return Answer(c, ex);
  }
  {
    std::unique_lock<std::mutex> lock(ex->m);
    ex->eof = true;
    ex->cv.notify_all();
    ex->cv.wait(lock, [ex] { return ex->done; });
  }
  ex->worker.join();
  return Answer(c, ex);
}

void StartWorker(Exchange* ex) {
  ex->started = true;
  ex->worker = std::thread(RunExtension, ex);
}

// Hands one piece of the body to the worker and waits until it is taken (or the worker ends).
bool HandOver(Exchange* ex, const char* data, size_t len) {
  std::unique_lock<std::mutex> lock(ex->m);
  if (ex->done || ex->aborted) return !ex->aborted;
  ex->chunk = data;
  ex->chunkLen = len;
  ex->cv.notify_all();
  bool taken = ex->cv.wait_until(lock, ex->deadline,
                                 [ex] { return ex->chunkLen == 0 || ex->done || ex->aborted; });
  ex->chunk = nullptr;
  ex->chunkLen = 0;
  if (!taken) ex->aborted = true;
  ex->cv.notify_all();
  return !ex->aborted;
}

MHD_Result Access(void*, MHD_Connection* c, const char*, const char* method, const char* version,
                  const char* upload, size_t* uploadSize, void** conCls) {
  auto* ex = static_cast<Exchange*>(*conCls);
  if (ex == nullptr) return MHD_NO;  // `host` was set with the request, and is read by the worker
  if (!ex->initialised) return Begin(c, ex, method, version);
  if (Clock::now() >= ex->deadline) {
    std::lock_guard<std::mutex> lock(ex->m);
    ex->aborted = true;  // the request took longer than the time-out: drop the connection
    ex->cv.notify_all();
    return MHD_NO;
  }
  if (*uploadSize > 0) {
    if (ex->route != Route::kExtension) {
      *uploadSize = 0;  // a body sent to a static path or nowhere is dropped
      return MHD_YES;
    }
    if (!ex->started) {
      ex->delivered.assign(upload, *uploadSize);
      *uploadSize = 0;
      StartWorker(ex);
      return MHD_YES;
    }
    bool ok = HandOver(ex, upload, *uploadSize);
    *uploadSize = 0;  // taken by the extension, or dropped after it has answered
    return ok ? MHD_YES : MHD_NO;
  }
  return Finish(c, ex);
}

void* UriLog(void* cls, const char* uri, MHD_Connection*) {
  auto* ex = new (std::nothrow) Exchange;
  if (ex == nullptr) return nullptr;
  ex->host = static_cast<Host*>(cls);
  ex->rawUri = uri != nullptr ? uri : "";
  ex->deadline = Clock::now() + std::chrono::seconds(ex->host->config.timeoutSeconds);
  return ex;
}

// Control bytes, quotes and backslashes of a logged text are escaped; the text is cut.
std::string LogText(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 512)) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void WriteAccessLog(Host* host, const Exchange& ex) {
  char when[64];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &tm);
  std::string line = (ex.remoteAddr.empty() ? std::string("-") : ex.remoteAddr) + " - - [" + when +
                     "] \"" + LogText(ex.method) + " " + LogText(ex.rawUri) + " " +
                     LogText(ex.version) + "\" " +
                     (ex.status != 0 ? std::to_string(ex.status) : std::string("-")) + " " +
                     std::to_string(ex.sentBytes) + "\n";
  std::lock_guard<std::mutex> lock(host->logMutex);
  if (::write(host->logFd, line.data(), line.size()) < 0) {
    // a full disk must not stop the answers
  }
}

void Completed(void* cls, MHD_Connection* c, void** conCls, MHD_RequestTerminationCode) {
  auto* host = static_cast<Host*>(cls);
  // The next request on this connection has the time-out from now.
  host->watchdog.Extend(c, Clock::now() + std::chrono::seconds(host->config.timeoutSeconds));
  auto* ex = static_cast<Exchange*>(*conCls);
  if (ex == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(ex->m);
    ex->aborted = !ex->done;  // a client that went away releases a waiting ReadClient
    ex->cv.notify_all();
  }
  if (ex->worker.joinable()) ex->worker.join();
  WriteAccessLog(static_cast<Host*>(cls), *ex);
  delete ex;
  *conCls = nullptr;
}

void ConnectionEvent(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  auto* host = static_cast<Host*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    host->watchdog.Remove(c);
    return;
  }
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return;
  host->watchdog.Set(c, info->connect_fd,
                     Clock::now() + std::chrono::seconds(host->config.timeoutSeconds));
}

// ---- start-up

bool ParseNumber(const char* text, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long n = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = n;
  return true;
}

void Usage() {
  std::fprintf(stderr,
               "usage: kaldor-host [--listen ADDRESS] [--port N] [--connections N] "
               "[--timeout SECONDS] [--max-body BYTES] [--extension PATH] [--access-log PATH]\n");
}

int ParseArguments(int argc, char** argv, HostConfig* cfg) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return -1;
    const char* value = argv[++i];
    uint64_t n = 0;
    if (arg == "--listen") {
      cfg->listen = value;
    } else if (arg == "--extension") {
      cfg->extension = value;
    } else if (arg == "--access-log") {
      cfg->accessLog = value;
    } else if (!ParseNumber(value, &n)) {
      return -1;
    } else if (arg == "--port" && n < 65536) {
      cfg->port = static_cast<unsigned>(n);
    } else if (arg == "--connections" && n > 0 && n <= 100000) {
      cfg->maxConnections = static_cast<unsigned>(n);
    } else if (arg == "--timeout" && n > 0 && n <= 86400) {
      cfg->timeoutSeconds = static_cast<unsigned>(n);
    } else if (arg == "--max-body") {
      cfg->maxBody = n;
    } else {
      return -1;
    }
  }
  return 0;
}

// The web settings the host shares with the extension: [Kaldor] of NEXUM2.INI in the home.
void LoadWebSettings(HostConfig* cfg) {
  std::string home = platform::GetProfileString("TORVIK.INI", "Settings", "HomeDir", "", 127);
  if (home.empty()) return;
  cfg->home = platform::NormaliseSeparators(home);
  std::string ini = platform::ResolvePath(platform::JoinPath(home, "NEXUM2.INI"));
  cfg->alias = platform::GetProfileString(ini, "Kaldor", "kaldoralias", "kaldor.dll", 127);
  while (!cfg->alias.empty() && cfg->alias.front() == '/') cfg->alias.erase(0, 1);
  cfg->webrootdir = platform::NormaliseSeparators(
      platform::GetProfileString(ini, "Kaldor", "webrootdir", "", 127));
  std::string webroot = platform::GetProfileString(ini, "Kaldor", "webroot", "", 127);
  while (!webroot.empty() && webroot.front() == '/') webroot.erase(0, 1);
  if (!webroot.empty() && webroot.back() != '/') webroot.push_back('/');
  cfg->webroot = webroot;
}

std::string DefaultExtensionPath() {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "libkaldor.so";
  self[n] = '\0';
  std::string dir = platform::DirName(self);
  std::string beside = platform::JoinPath(dir, "libkaldor.so");
  if (platform::FileExists(beside)) return beside;
  return platform::JoinPath(platform::DirName(dir), "libkaldor.so");  // the build tree's layout
}

}  // namespace

int main(int argc, char** argv) {
  Host host;
  if (ParseArguments(argc, argv, &host.config) != 0) {
    Usage();
    return 2;
  }
  HostConfig& cfg = host.config;
  LoadWebSettings(&cfg);
  if (cfg.extension.empty()) cfg.extension = DefaultExtensionPath();
  if (!cfg.accessLog.empty()) {
    host.logFd = platform::OpenPrivate(cfg.accessLog, O_WRONLY | O_CREAT | O_APPEND);
    if (host.logFd < 0) {
      std::fprintf(stderr, "kaldor-host: cannot open the access log %s\n", cfg.accessLog.c_str());
      return 1;
    }
  }

  // Every connection holds a descriptor: the soft limit is raised to the hard one so that the
  // connection limit, not the descriptor limit, decides how many are served.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  // The signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // RTLD_NODELETE: the extension stays mapped until the process ends, also after dlclose, so
  // the objects it keeps for the life of the process (the path layer's name cache) stay
  // reachable and valid while the host winds down.
  void* library = ::dlopen(cfg.extension.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr) {
    std::fprintf(stderr, "kaldor-host: cannot load %s: %s\n", cfg.extension.c_str(), dlerror());
    return 1;
  }
  auto version =
      reinterpret_cast<KaldorGetExtensionVersionFn>(::dlsym(library, "GetExtensionVersion"));
  host.proc = reinterpret_cast<KaldorHttpExtensionProcFn>(::dlsym(library, "HttpExtensionProc"));
  KaldorVersionInfo info{};
  if (version == nullptr || host.proc == nullptr || version(&info) == 0) {
    std::fprintf(stderr, "kaldor-host: %s is not a usable extension\n", cfg.extension.c_str());
    ::dlclose(library);
    return 1;
  }

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(cfg.port));
  if (::inet_pton(AF_INET, cfg.listen.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "kaldor-host: bad listen address %s\n", cfg.listen.c_str());
    ::dlclose(library);
    return 2;
  }
  // clang-format off
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG,
      static_cast<uint16_t>(cfg.port), nullptr, nullptr, Access, &host,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
      MHD_OPTION_CONNECTION_LIMIT, cfg.maxConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, cfg.timeoutSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024),
      MHD_OPTION_THREAD_STACK_SIZE, static_cast<size_t>(1024 * 1024),
      MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u,
      MHD_OPTION_URI_LOG_CALLBACK, UriLog, &host,
      MHD_OPTION_NOTIFY_COMPLETED, Completed, &host,
      MHD_OPTION_NOTIFY_CONNECTION, ConnectionEvent, &host,
      MHD_OPTION_END);
  // clang-format on
  if (daemon == nullptr) {
    std::fprintf(stderr, "kaldor-host: cannot listen on %s:%u\n", cfg.listen.c_str(), cfg.port);
    ::dlclose(library);
    return 1;
  }
  std::printf("kaldor-host: %s, listening on %s:%u; extension at /%s; web files %s%s\n",
              info.description, cfg.listen.c_str(), cfg.port, cfg.alias.c_str(),
              cfg.webrootdir.empty() ? "off" : ("/" + cfg.webroot + " from ").c_str(),
              cfg.webrootdir.c_str());
  std::fflush(stdout);

  std::jthread watch([&host](std::stop_token stop) { host.watchdog.Watch(stop); });
  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  watch.request_stop();
  watch.join();
  MHD_stop_daemon(daemon);
  ::dlclose(library);
  if (host.logFd > 2) ::close(host.logFd);
  std::printf("kaldor-host: stopped\n");
  return 0;
}
