// CSocketExtension: the one TCP socket object of the server.
//
// A blocking-style IPv4 socket used by one thread at a time: its own receive buffer (2048 bytes
// in the system), one time-out that bounds every wait, line reading with a caller-given
// terminator, and a record of the last error (WinSock-numbered, see WsaError) with the name of
// the operation that produced it. Kill may be called from another thread to end a session.
//
// Results: counts >= 0 on success; -1 closed connection or hard error; -500 (kTimedOut) nothing
// within the time-out; -501 (kBufferFull) the buffer filled without the terminator. SendN
// returns the positive error code on a hard error.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace net {

constexpr int kTimedOut = -500;
constexpr int kBufferFull = -501;
constexpr int kSessionBufferSize = 2048;
// The time-out a setting below one second stands for ("smtptimeout=0" or "-1" in a settings
// file), and the longest one a wait can take in milliseconds.
constexpr int kDefaultTimeoutSeconds = 120;
constexpr int kMaxTimeoutSeconds = 2147483;

// The time-out a socket uses for `seconds`: below 1 the default (a zero would end every wait at
// once, a negative one would wait for ever on a silent peer), above the longest the longest.
int EffectiveTimeout(int seconds);

// WinSock numbers recorded and logged by the socket layer.
constexpr int kWsaEinval = 10022;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEnotsock = 10038;
constexpr int kWsaEaddrinuse = 10048;
constexpr int kWsaEaddrnotavail = 10049;
constexpr int kWsaEconnreset = 10054;
constexpr int kWsaEnotconn = 10057;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;

// The WinSock number for an errno value.
int WsaError(int err);
// "WSAEINVAL", ... for the shutdown report; "WSA..." for others.
const char* WsaShutdownName(int code);

// The IPv4 addresses of `host` in dotted form: the host itself when it is one, else what the
// system's resolver gives (empty when nothing). Blocking; any thread.
std::vector<std::string> ResolveIPv4(const std::string& host);

// A peer-visible warning (the server's warning report): set by the program.
using WarningFn = std::function<void(const std::string&)>;

class CSocketExtension {
 public:
  CSocketExtension(int timeoutSeconds, int bufferSize);
  ~CSocketExtension();
  CSocketExtension(const CSocketExtension&) = delete;
  CSocketExtension& operator=(const CSocketExtension&) = delete;

  int SetError(const char* operation, int code);
  int GetLastError() const { return lastError_; }
  const std::string& LastOperation() const { return lastOperation_; }
  void SetWarningReport(WarningFn fn) { warning_ = std::move(fn); }
  void SetTimeout(int seconds) { timeoutSeconds_ = EffectiveTimeout(seconds); }
  int TimeoutSeconds() const { return timeoutSeconds_; }

  // Set-up. 0 or -1 unless said.
  int Create();
  // A UDP socket (the resolver's queries): Connect fixes its peer, SendN sends one datagram.
  int CreateDatagram();
  int Attach(int handle);
  int Attach() { return Attach(ownSocket_); }
  int Bind(int port, const std::string& address);
  int Listen(int backlog);
  // A new handle, or -1 (kWsaEwouldblock recorded when nobody is waiting).
  int AcceptSocket(std::string* address = nullptr, int* port = nullptr);
  // True when the last error says the process (or system) is out of descriptors or memory:
  // accepting again at once cannot succeed.
  bool OutOfResources() const;
  // Takes one waiting connection, sends `reply` without waiting and closes it; works also when
  // the process has no descriptor left (a reserve descriptor kept since Listen is given up for
  // the moment). 0, or -1 when nothing could be taken.
  int RefuseWaiting(const std::string& reply);
  // Sends `reply` on `handle` without waiting and closes it (a connection turned away).
  static void Refuse(int handle, const std::string& reply);
  // Waits up to the time-out for a connection to accept; true when one is waiting.
  bool WaitForConnection(int milliseconds);
  int Connect(const std::string& host, int port);
  int GetPeerName(std::string* address, int* port);
  // Ends the connection in both directions (any thread); the descriptor is closed on destruction.
  void Kill();

  // Readiness: 1 readable, 2 writable, 4 exceptional; the subset that became ready, 0 on time-out.
  int WaitFor(int flags);
  int SendN(const char* data, int length);
  int SendN(const std::string& data) { return SendN(data.data(), static_cast<int>(data.size())); }
  int Receive(char* buffer, int length);
  // Waits up to `milliseconds` for one datagram and takes it, cut to `length` bytes: its length
  // (0 for an empty datagram), kTimedOut, or -1 with the error recorded.
  int ReceiveDatagram(char* buffer, int length, int milliseconds);
  // One line including its CR LF (length returned), -500, -501 (bytes kept) or -1/-code.
  int ReceiveData(std::string* line);
  // One line without `terminator` (0), -501 with a buffer-sized piece, -500 or -1.
  int ReceiveLine(std::string* line, const std::string& terminator);

  int Handle() const { return activeSocket_; }
  // The local port of a bound socket (the one chosen for port 0), or -1.
  int LocalPort() const;
  size_t Buffered() const { return count_; }

 private:
  long Find(const std::string& terminator) const;
  void Consume(size_t n);
  // One receive into the free part of the buffer: >0 bytes, 0 closed, <0 -errno.
  long Fill();

  std::vector<char> buffer_;
  size_t capacity_;
  size_t count_ = 0;
  int timeoutSeconds_;
  int lastError_ = 0;
  std::string lastOperation_;
  int ownSocket_ = -1;
  std::atomic<int> activeSocket_{-1};
  std::atomic<bool> closing_{false};
  bool bindRefused_ = false;  // Bind was given an address that is no IPv4 address
  int reserveFd_ = -1;        // kept by a listening socket for RefuseWaiting
  WarningFn warning_;
};

}  // namespace net
