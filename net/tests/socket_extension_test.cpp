#include "net/socket_extension.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace net {
namespace {

// A connected pair: `sock` wraps one end, `peer` is the raw other end.
struct Pair {
  explicit Pair(int timeout = 2, int buffer = kSessionBufferSize) : sock(timeout, buffer) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    sock.Attach(fds[0]);
    peer = fds[1];
  }
  ~Pair() {
    if (peer >= 0) ::close(peer);
  }
  void Send(const std::string& s) { ASSERT_EQ(::write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  CSocketExtension sock;
  int peer = -1;
};

TEST(SocketExtensionTest, LinesAreAssembledFromSegmentsAndSplitFromOne) {
  Pair p;
  std::thread writer([&] {
    p.Send("HEL");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.Send("O x\r\nMAIL FROM:<a@b>\r\nDATA\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.Send("\nline\r\n");
  });
  std::string line;
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), 0);
  EXPECT_EQ(line, "HELO x");
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), 0);  // already buffered
  EXPECT_EQ(line, "MAIL FROM:<a@b>");
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), 0);
  EXPECT_EQ(line, "DATA");
  EXPECT_EQ(p.sock.ReceiveData(&line), 6);
  EXPECT_EQ(line, "line\r\n");  // the data reader keeps CR LF
  writer.join();
}

TEST(SocketExtensionTest, AnOverLongLineComesInBufferSizedPieces) {
  Pair p;
  p.Send(std::string(2049, 'a') + "\r\n");
  std::string line;
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), kBufferFull);
  EXPECT_EQ(line.size(), 2048u);
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), 0);
  EXPECT_EQ(line, "a");
}

TEST(SocketExtensionTest, ReceiveDataWithAFullBufferKeepsTheBytes) {
  Pair p;
  p.Send(std::string(2100, 'b'));
  std::string line = "unchanged";
  EXPECT_EQ(p.sock.ReceiveData(&line), kBufferFull);
  EXPECT_EQ(line, "unchanged");
  EXPECT_EQ(p.sock.Buffered(), 2048u);
}

TEST(SocketExtensionTest, TimeOutsAndClosedPeers) {
  Pair p(1);
  std::string line;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(p.sock.ReceiveData(&line), kTimedOut);
  p.Send("partial");
  ::close(p.peer);
  p.peer = -1;
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), -1);
  EXPECT_EQ(p.sock.GetLastError(), kWsaEconnreset);
  EXPECT_EQ(p.sock.LastOperation(), "ReceiveLine");
}

// A time-out setting of 0 or below ("smtptimeout=0") neither ends every wait at once nor lets a
// silent peer hold a session for ever; a huge one does not overflow into an endless wait.
TEST(SocketExtensionTest, TimeOutSettingsOutsideTheRangeTakeTheDefaultOrTheLongest) {
  EXPECT_EQ(EffectiveTimeout(-1), kDefaultTimeoutSeconds);
  EXPECT_EQ(EffectiveTimeout(0), kDefaultTimeoutSeconds);
  EXPECT_EQ(EffectiveTimeout(1), 1);
  EXPECT_EQ(EffectiveTimeout(kMaxTimeoutSeconds), kMaxTimeoutSeconds);
  EXPECT_EQ(EffectiveTimeout(kMaxTimeoutSeconds + 1), kMaxTimeoutSeconds);
  EXPECT_EQ(EffectiveTimeout(INT32_MIN), kDefaultTimeoutSeconds);
  EXPECT_EQ(Pair(-5).sock.TimeoutSeconds(), kDefaultTimeoutSeconds);
  Pair later(1);
  later.sock.SetTimeout(0);
  EXPECT_EQ(later.sock.TimeoutSeconds(), kDefaultTimeoutSeconds);

  // With a zero setting a command that comes a moment after the greeting is still read.
  Pair p(0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    p.Send("HELO x\r\n");
  });
  std::string line;
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), 0);
  EXPECT_EQ(line, "HELO x");
  writer.join();
}

TEST(SocketExtensionTest, SendTimesOutWhenThePeerDoesNotRead) {
  Pair p(1);
  std::string big(1 << 20, 'x');
  int sent = p.sock.SendN(big);
  EXPECT_EQ(sent, kTimedOut);
}

TEST(SocketExtensionTest, KillWakesAWaitingReaderAndIsHarmlessTwice) {
  Pair p(5);
  std::string warning;
  p.sock.SetWarningReport([&](const std::string& w) { warning = w; });
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p.sock.Kill();
  });
  std::string line;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(p.sock.ReceiveLine(&line, "\r\n"), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  killer.join();
  p.sock.Kill();
  EXPECT_EQ(warning, "");  // "not connected" is no error
}

TEST(SocketExtensionTest, ListenerAcceptsAndBindReportsTheWinsockNumbers) {
  CSocketExtension listener(1, kSessionBufferSize);
  ASSERT_EQ(listener.Create(), 0);
  ASSERT_EQ(listener.Bind(0, "127.0.0.1"), 0);
  ASSERT_EQ(listener.Listen(5), 0);
  int port = listener.LocalPort();
  ASSERT_GT(port, 0);
  EXPECT_EQ(listener.AcceptSocket(), -1);
  EXPECT_EQ(listener.GetLastError(), kWsaEwouldblock);

  CSocketExtension client(1, kSessionBufferSize);
  ASSERT_EQ(client.Create(), 0);
  ASSERT_EQ(client.Connect("127.0.0.1", port), 0);
  ASSERT_TRUE(listener.WaitForConnection(1000));
  std::string address;
  int peerPort = 0;
  int handle = listener.AcceptSocket(&address, &peerPort);
  ASSERT_GE(handle, 0);
  EXPECT_EQ(address, "127.0.0.1");
  CSocketExtension session(1, kSessionBufferSize);
  session.Attach(handle);
  EXPECT_EQ(client.SendN("hi\r\n"), 4);
  std::string line;
  EXPECT_EQ(session.ReceiveLine(&line, "\r\n"), 0);
  EXPECT_EQ(line, "hi");

  CSocketExtension second(1, kSessionBufferSize);
  ASSERT_EQ(second.Create(), 0);
  EXPECT_EQ(second.Bind(port, "127.0.0.1"), -1);
  EXPECT_EQ(second.GetLastError(), kWsaEaddrinuse);
  CSocketExtension third(1, kSessionBufferSize);
  ASSERT_EQ(third.Create(), 0);
  EXPECT_EQ(third.Bind(0, "not-an-address"), 0);  // not bound: the Listen that follows fails
  EXPECT_EQ(third.GetLastError(), kWsaEinval);
  CSocketExtension refused(1, kSessionBufferSize);
  ASSERT_EQ(refused.Create(), 0);
  listener.Kill();
}

}  // namespace
}  // namespace net
