// The listener under overload and with bad settings: the session cap turns connections away
// with the busy reply and serves new ones when sessions end; a bad bind address or a port in use
// ends the listener with one report instead of listening somewhere else or trying in a loop.
#include "net/connection_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace net {
namespace {

using namespace std::chrono_literals;

constexpr char kBusy[] = "421 busy\r\n";

// A session that greets, then waits until the test lets it go.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  void Open() {
    std::lock_guard<std::mutex> l(m);
    open = true;
    cv.notify_all();
  }
};

class CHoldingProtocol : public CConnectionProtocol {
 public:
  explicit CHoldingProtocol(Gate& gate) : gate_(gate) {}
  int ProtocolLoop() override {
    (void)Socket()->SendN(std::string("220 hello\r\n"));
    std::unique_lock<std::mutex> l(gate_.m);
    gate_.cv.wait_for(l, 30s, [&] { return gate_.open; });
    return 0;
  }
  const char* ProtocolName() const override { return "TEST"; }

 private:
  Gate& gate_;
};

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Everything the server sends until it closes (or 10 s pass).
std::string ReadAll(int fd) {
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string ReadLine(int fd) {
  std::string out;
  char c;
  while (::recv(fd, &c, 1, 0) == 1) {
    out += c;
    if (c == '\n') break;
  }
  return out;
}

struct Server {
  Server(std::string address, int port, int maxSessions) {
    server = std::make_unique<CConnectionServer>(
        "TEST Server", std::move(address), port, 5,
        [this] { return std::make_unique<CHoldingProtocol>(gate); }, counters,
        [this](const std::string& text) {
          std::lock_guard<std::mutex> l(m);
          reports.push_back(text);
        });
    server->SetSessionLimit(maxSessions, kBusy);
  }
  ~Server() {
    gate.Open();
    server->Stop();
  }
  // Waits (bounded) until the listener listens or has ended.
  bool WaitListening() {
    for (int i = 0; i < 200 && server->ListeningPort() == 0 && !server->Finished(); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    return server->ListeningPort() != 0;
  }
  std::vector<std::string> Reports() {
    std::lock_guard<std::mutex> l(m);
    return reports;
  }
  Gate gate;
  core::CSessionCounters counters;
  std::mutex m;
  std::vector<std::string> reports;
  std::unique_ptr<CConnectionServer> server;
};

TEST(ConnectionServerTest, SessionsBeyondTheCapAreTurnedAwayAndNewOnesServedLater) {
  Server s("127.0.0.1", 0, 2);
  ASSERT_EQ(s.server->Start(), 1);
  ASSERT_TRUE(s.WaitListening());
  int port = s.server->ListeningPort();
  int a = Connect(port), b = Connect(port);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(ReadLine(a), "220 hello\r\n");
  EXPECT_EQ(ReadLine(b), "220 hello\r\n");
  // The third gets the busy reply and the connection closes.
  int c = Connect(port);
  ASSERT_GE(c, 0);
  EXPECT_EQ(ReadAll(c), kBusy);
  ::close(c);
  // Sessions end: there is room again.
  s.gate.Open();
  ::close(a);
  ::close(b);
  for (int i = 0; i < 200 && s.server->RunningSessions() != 0; ++i) std::this_thread::sleep_for(50ms);
  int d = Connect(port);
  ASSERT_GE(d, 0);
  EXPECT_EQ(ReadLine(d), "220 hello\r\n");
  ::close(d);
  EXPECT_TRUE(s.Reports().empty());
}

TEST(ConnectionServerTest, AnAddressThatIsNoIpv4AddressIsReportedAndNothingListens) {
  for (const char* address : {"localhost", "10.0.0", "127.0.0.1x"}) {
    Server s(address, 0, 10);
    ASSERT_EQ(s.server->Start(), 1);
    EXPECT_FALSE(s.WaitListening()) << address;
    ASSERT_EQ(s.Reports().size(), 1u) << address;
    EXPECT_EQ(s.Reports()[0],
              "TEST Server: Could not listen on port, check that another program is not already "
              "using this port.");
  }
}

TEST(ConnectionServerTest, APortInUseIsReportedOnce) {
  Server first("127.0.0.1", 0, 10);
  ASSERT_EQ(first.server->Start(), 1);
  ASSERT_TRUE(first.WaitListening());
  Server second("127.0.0.1", first.server->ListeningPort(), 10);
  ASSERT_EQ(second.server->Start(), 1);
  EXPECT_FALSE(second.WaitListening());
  std::this_thread::sleep_for(200ms);  // a loop would add more reports
  ASSERT_EQ(second.Reports().size(), 1u);
  EXPECT_EQ(second.Reports()[0], "TEST Server: Cannot bind socket (address in use by another program)");
}

}  // namespace
}  // namespace net
