#include "net/connection_server.h"

#include <unistd.h>

#include <chrono>

namespace net {
namespace {

const char* ListenerMessage(int number) {
  switch (number) {
    case 129: return "Could not create socket.";
    case 130: return "Could not listen on port, check that another program is not already using this port.";
    case 134: return "Cannot bind socket (address in use by another program)";
    case 135: return "Cannot attach socket (restart the PC or the program)";
    case 136: return "Cannot allocate a new socket";
    case 137: return "Cannot bind to the specified IP address. Address not available. Please edit the Server Settings.";
    default: return "";
  }
}

}  // namespace

CConnectionServer::CConnectionServer(std::string name, std::string bindAddress, int port,
                                     int timeoutSeconds, ProtocolFactory factory,
                                     core::CSessionCounters& counters, ReportFn report)
    : name_(std::move(name)),
      bindAddress_(std::move(bindAddress)),
      port_(port),
      timeoutSeconds_(timeoutSeconds),
      factory_(std::move(factory)),
      counters_(counters),
      report_(std::move(report)) {}

CConnectionServer::~CConnectionServer() { Stop(); }

int CConnectionServer::Start() {
  if (counters_.stopping || !finished_) return 0;
  stop_ = false;
  finished_ = false;
  try {
    listener_ = std::thread([this] {
      Run();
      finished_ = true;
    });
  } catch (const std::system_error&) {
    finished_ = true;
    return 0;
  }
  return 1;
}

void CConnectionServer::Stop() {
  stop_ = true;
  if (listener_.joinable()) listener_.join();
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    for (auto& s : sessions_) {
      if (s->socket_) s->socket_->Kill();  // wakes the session thread, which then ends
    }
  }
  std::unique_lock<std::mutex> wait(doneMutex_);
  done_.wait(wait, [this] { return running_ == 0; });
}

int CConnectionServer::Report(int number) {
  if (report_) report_(name_ + ": " + ListenerMessage(number));
  return 1;
}

int CConnectionServer::Run() {
  std::unique_ptr<CSocketExtension> listen;
  for (;;) {
    listen = std::make_unique<CSocketExtension>(timeoutSeconds_, kSessionBufferSize);
    if (listen->Create() != 0) return Report(129);
    if (listen->Bind(port_, bindAddress_ == "0.0.0.0" ? std::string() : bindAddress_) != 0) {
      int code = listen->GetLastError();
      if (code == kWsaEaddrinuse) return Report(134);
      if (code == kWsaEaddrnotavail) return Report(137);
      if (Stopping()) return Report(130);
      continue;
    }
    if (listen->Listen(kListenBacklog) != 0) return Report(130);
    listeningPort_ = listen->LocalPort();
    bool restart = false;
    while (!Stopping() && !restart) {
      if (!listen->WaitForConnection(500)) continue;
      int handle = listen->AcceptSocket();
      if (handle >= 0) {
        StartSession(handle);
        continue;
      }
      int code = listen->GetLastError();
      if (code == kWsaEwouldblock) continue;
      if (code == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      listen->Kill();
      restart = true;
    }
    if (!restart) break;
  }
  // Stopping: the listener stays until every session and client has ended.
  while (!stop_ && (counters_.serverSessions != 0 || counters_.smtpClients != 0 ||
                    counters_.pop3Clients != 0)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  listen->Kill();
  listeningPort_ = 0;
  return 0;
}

void CConnectionServer::StartSession(int handle) {
  std::shared_ptr<CConnectionProtocol> session;
  if (!Stopping() && factory_) session = factory_();
  if (!session) {
    ::close(handle);  // rejected
    return;
  }
  session->server_ = this;
  session->handle_ = handle;
  ++running_;
  ++counters_.serverSessions;
  try {
    std::thread([this, session] { SessionThread(session); }).detach();
  } catch (const std::system_error&) {
    --counters_.serverSessions;
    --running_;
    ::close(handle);
  }
}

void CConnectionServer::SessionThread(std::shared_ptr<CConnectionProtocol> session) {
  session->socket_ = std::make_unique<CSocketExtension>(kSessionTimeoutSeconds, kSessionBufferSize);
  session->socket_->SetTimeout(timeoutSeconds_);
  session->socket_->Attach(session->handle_);
  session->socket_->GetPeerName(&session->peerAddress_, &session->peerPort_);
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    sessions_.push_back(session);
  }
  if (stop_) session->socket_->Kill();  // a server that stops meanwhile ends this one too
  session->finished_ = false;
  session->ProtocolLoop();
  session->finished_ = true;
  session->socket_->Kill();
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    sessions_.remove(session);
  }
  session->socket_.reset();  // closes the connection exactly once
  session->handle_ = -1;
  session.reset();
  --counters_.serverSessions;
  std::lock_guard<std::mutex> lock(doneMutex_);
  --running_;
  done_.notify_all();
}

int CConnectionServer::KillSession(const std::string& peer) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  for (auto& s : sessions_) {
    if (s->peerAddress_ == peer && s->socket_) {
      s->socket_->Kill();
      return 1;
    }
  }
  return 0;
}

std::vector<std::string> CConnectionServer::Peers() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  std::vector<std::string> out;
  for (auto& s : sessions_) out.push_back(s->peerAddress_ + ":" + std::to_string(s->peerPort_));
  return out;
}

}  // namespace net
