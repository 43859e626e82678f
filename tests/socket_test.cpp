#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netdb.h>

#include "net/BlockingSocket.h"
#include "net/NameLookup.h"
#include "net/LineEnd.h"
#include "net/SocketError.h"
#include "net/TcpSocket.h"
#include "support/HangingResolver.h"
#include "support/ScriptedServer.h"

namespace {

constexpr int kShortMs = 300;

int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

struct Client {
  TTcpSocket sock;
  explicit Client(const ScriptedServer& server) {
    sock.ConvertLineEnd = true;
    sock.Connect("127.0.0.1", server.Port());
  }
};

} // namespace

TEST(LineEnd, FindsEveryKindOfLineEnd) {
  TLineEnd end;
  ASSERT_TRUE(FindLineEnd("250 OK\r\nnext", end));
  EXPECT_EQ(6u, end.Pos);
  EXPECT_EQ(2u, end.Length);
  EXPECT_FALSE(end.LoneCR || end.LoneLF);

  ASSERT_TRUE(FindLineEnd("a\n\rb", end));
  EXPECT_EQ(2u, end.Length);

  ASSERT_TRUE(FindLineEnd("a\rb", end));
  EXPECT_EQ(1u, end.Length);
  EXPECT_TRUE(end.LoneCR);

  ASSERT_TRUE(FindLineEnd("a\nb", end));
  EXPECT_TRUE(end.LoneLF);

  // A CR as the last byte so far is lone: its LF may follow in the next packet.
  ASSERT_TRUE(FindLineEnd("250 OK\r", end));
  EXPECT_TRUE(end.LoneCR);
  EXPECT_EQ(1u, end.Length);

  EXPECT_FALSE(FindLineEnd("no end yet", end));
  EXPECT_FALSE(FindLineEnd("a\r\nb", end, 3));
}

TEST(LineEnd, JoinsPairSplitBetweenPackets) {
  bool cr = true, lf = false;
  std::string data = "\n250 next";
  JoinSplitLineEnd(data, cr, lf);
  EXPECT_EQ("250 next", data);
  EXPECT_FALSE(cr);

  cr = false, lf = true;
  data = "\rX";
  JoinSplitLineEnd(data, cr, lf);
  EXPECT_EQ("X", data);

  // A lone CR followed by a second CR is an empty line, not half a pair.
  cr = true, lf = false;
  data = "\r\n";
  JoinSplitLineEnd(data, cr, lf);
  EXPECT_EQ("\r\n", data);

  // Nothing arrived: the flag waits for the next data.
  cr = true;
  data.clear();
  JoinSplitLineEnd(data, cr, lf);
  EXPECT_TRUE(cr);
}

TEST(TcpSocketWire, ReadsALineSentInTwoPackets) {
  ScriptedServer server;
  server.Send("250 O").Pause(100).Send("K\r\n").Start();
  Client c(server);
  ASSERT_EQ(0, c.sock.LastError());
  EXPECT_EQ("250 OK", c.sock.RecvString(kShortMs * 5));
  EXPECT_EQ(0, c.sock.LastError());
}

TEST(TcpSocketWire, CrAndLfSplitBetweenPacketsMakeOneLineEnd) {
  ScriptedServer server;
  server.Send("250 A\r").Pause(100).Send("\n250 B\n\r250 C\r").Pause(100).Send("\n").Start();
  Client c(server);
  EXPECT_EQ("250 A", c.sock.RecvString(2000));
  EXPECT_EQ("250 B", c.sock.RecvString(2000));
  EXPECT_EQ("250 C", c.sock.RecvString(2000));
  // The last LF completed the pair: no empty line follows.
  EXPECT_EQ("", c.sock.RecvString(kShortMs));
  EXPECT_EQ(kSockErrTimedOut, c.sock.LastError());
}

TEST(TcpSocketWire, SilentServerTimesOutAndKeepsPartialText) {
  ScriptedServer server;
  server.Send("220 partial").Start();
  Client c(server);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("", c.sock.RecvString(kShortMs));
  EXPECT_EQ(kSockErrTimedOut, c.sock.LastError());
  EXPECT_GE(MsSince(start), kShortMs - 20);
  EXPECT_LT(MsSince(start), kShortMs + 1000);
  // What came before the time-out is not lost.
  EXPECT_EQ("220 partial", c.sock.RecvPacket(kShortMs));
}

TEST(TcpSocketWire, WholeLineTimeOutWhenInterPacketTimeoutIsOff) {
  ScriptedServer server;
  // Bytes keep trickling in, each within the time-out, but the line never ends.
  for (int i = 0; i < 20; ++i) server.Send("x").Pause(50);
  server.Start();
  Client c(server);
  c.sock.InterPacketTimeout = false;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("", c.sock.RecvString(kShortMs));
  EXPECT_EQ(kSockErrTimedOut, c.sock.LastError());
  EXPECT_LT(MsSince(start), kShortMs + 300);
}

TEST(TcpSocketWire, ServerClosingAtOnceGives10054) {
  ScriptedServer server;
  server.Close().Start();
  Client c(server);
  EXPECT_EQ("", c.sock.RecvString(2000));
  EXPECT_EQ(kSockErrConnReset, c.sock.LastError());
}

TEST(TcpSocketWire, EndlessLineFailsWith10055AndStaysBounded) {
  ScriptedServer server;
  server.Flood(std::string::size_type(kMaxLineLength) * 3).Start();
  Client c(server);
  ASSERT_EQ(kMaxLineLength, c.sock.MaxLineLength);
  EXPECT_EQ("", c.sock.RecvString(2000));
  EXPECT_EQ(kSockErrNoBuffers, c.sock.LastError());
  // The over-long text was dropped: the next read starts on fresh data,
  // never with the megabyte already seen.
  const std::string next = c.sock.RecvPacket(2000);
  EXPECT_LE(next.size(), size_t(kMaxPacketBytes));
}

TEST(TcpSocketWire, LineLongerThanASettableLimitIsRefused) {
  ScriptedServer server;
  server.Send(std::string(100, 'a') + "\r\n250 short\r\n").Start();
  Client c(server);
  c.sock.MaxLineLength = 50;
  EXPECT_EQ("", c.sock.RecvString(2000));
  EXPECT_EQ(kSockErrNoBuffers, c.sock.LastError());
  EXPECT_EQ("250 short", c.sock.RecvString(2000));
}

TEST(TcpSocketWire, RecvSomeGivesWhatALineReadLeftThenWaitsOnlyItsTimeOut) {
  ScriptedServer server;
  server.Send("220 ready\r\nJPEG").Pause(1000).Close().Start();
  Client c(server);
  ASSERT_EQ("220 ready", c.sock.RecvString(2000));
  char bytes[64];
  size_t got = c.sock.RecvSome(bytes, 2, 2000);
  EXPECT_EQ("JP", std::string(bytes, got));
  got = c.sock.RecvSome(bytes, sizeof bytes, 2000);
  EXPECT_EQ("EG", std::string(bytes, got));

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, c.sock.RecvSome(bytes, sizeof bytes, kShortMs));
  EXPECT_EQ(kSockErrTimedOut, c.sock.LastError());
  EXPECT_GE(MsSince(start), kShortMs - 10);
  EXPECT_LT(MsSince(start), kShortMs + 500);
  // The peer's close is an error, not an empty read.
  EXPECT_EQ(0u, c.sock.RecvSome(bytes, sizeof bytes, 5000));
  EXPECT_EQ(kSockErrConnReset, c.sock.LastError());
}

TEST(TcpSocketWire, RefusedConnectionGives10061) {
  int port;
  {
    ScriptedServer closed;  // a port that was free a moment ago
    port = std::stoi(closed.Port());
  }
  TTcpSocket sock;
  sock.Connect("127.0.0.1", std::to_string(port));
  EXPECT_EQ(kSockErrConnRefused, sock.LastError());
}

TEST(TcpSocketWire, NamesPreferIPv4AndIPv6LiteralsWork) {
  ScriptedServer server;
  server.Send("220 v4\r\n").Start();
  TTcpSocket sock;
  sock.Connect("localhost", server.Port());
  ASSERT_EQ(0, sock.LastError());
  EXPECT_EQ("220 v4", sock.RecvString(2000));

  // Nothing listens on [::1] at that port: the IPv6 literal is tried as such.
  TTcpSocket six;
  six.Connect("::1", server.Port());
  EXPECT_NE(0, six.LastError());
  EXPECT_NE(kSockErrHostNotFound, six.LastError());
}

TEST(TcpSocketWire, ConnectGivesUpAfterItsTimeOut) {
  // A listener whose queue is full drops further connection attempts.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(listener, 0));
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string port = std::to_string(ntohs(addr.sin_port));

  std::vector<std::unique_ptr<TTcpSocket>> fill;
  bool timedOut = false;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    auto sock = std::make_unique<TTcpSocket>();
    sock->ConnectTimeout = kShortMs;
    const auto start = std::chrono::steady_clock::now();
    sock->Connect("127.0.0.1", port);
    if (sock->LastError() == kSockErrTimedOut) {
      timedOut = true;
      EXPECT_LT(MsSince(start), kShortMs + 500);
    }
    fill.push_back(std::move(sock));
  }
  ::close(listener);
  if (!timedOut) GTEST_SKIP() << "this kernel accepts every connection into a full queue";
}

TEST(TcpSocketWire, BlockedSendGivesUpAfterNonblockSendTimeout) {
  ScriptedServer server;
  server.StopReading().Start();
  Client c(server);
  c.sock.NonblockSendTimeout = kShortMs;
  const std::string block(1 << 20, 'm');
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 256 && c.sock.LastError() == 0; ++i) c.sock.SendString(block);
  EXPECT_EQ(kSockErrTimedOut, c.sock.LastError());
  EXPECT_LT(MsSince(start), 20000);
}

TEST(TcpSocketWire, SendingToAClosedPeerIsAnErrorNotASignal) {
  ScriptedServer server;
  server.Close().Start();
  Client c(server);
  server.Received();
  for (int i = 0; i < 50 && c.sock.LastError() == 0; ++i) {
    c.sock.SendString(std::string(65536, 'q'));
    usleep(2000);
  }
  EXPECT_EQ(kSockErrConnReset, c.sock.LastError());
}

TEST(TcpSocketWire, CloseDrainsWhatStillArrivesButNotForever) {
  ScriptedServer server;
  server.Flood(size_t(64) << 20).Start();
  Client c(server);
  ASSERT_EQ(0, c.sock.LastError());
  const auto start = std::chrono::steady_clock::now();
  c.sock.CloseSocket();
  EXPECT_EQ(-1, c.sock.Socket());
  EXPECT_LT(MsSince(start), 5000);
}

TEST(TlsLayerWire, HandshakeWithAPlainTextServerFailsWith10091) {
  ScriptedServer server;
  server.Send("220 plain text server ready\r\n").Start();
  Client c(server);
  c.sock.SSLDoConnect();
  EXPECT_EQ(kSockErrTlsFailed, c.sock.LastError());
  EXPECT_FALSE(c.sock.SSL().SSLEnabled());
  EXPECT_FALSE(c.sock.SSL().LastErrorDesc().empty());
  // The socket stays connected without TLS.
  EXPECT_GE(c.sock.Socket(), 0);
}

TEST(TlsLayerWire, SilentPeerCannotHoldTheHandshake) {
  ScriptedServer server;
  server.Start();
  Client c(server);
  c.sock.SSL().HandshakeTimeout = kShortMs;
  const auto start = std::chrono::steady_clock::now();
  c.sock.SSLDoConnect();
  EXPECT_EQ(kSockErrTlsFailed, c.sock.LastError());
  EXPECT_LT(MsSince(start), kShortMs + 1000);
}

// ---- One deadline over a whole exchange ----

TEST(NameLookup, AHangingResolverCostsOnlyTheConnectTimeOutAndFewThreads) {
  HangingResolver resolver;
  TTcpSocket sock;
  sock.ConnectTimeout = kShortMs;
  const auto start = std::chrono::steady_clock::now();
  sock.Connect("mail.example.test", "25");
  EXPECT_EQ(kSockErrTimedOut, sock.LastError());
  EXPECT_GE(MsSince(start), kShortMs - 10);
  EXPECT_LT(MsSince(start), kShortMs + 1000);

  // Abandoned lookups pile up only to their limit; then a lookup fails at once.
  sock.ConnectTimeout = 20;
  while (AbandonedLookups() < kMaxAbandonedLookups) sock.Connect("mail.example.test", "25");
  const auto again = std::chrono::steady_clock::now();
  sock.Connect("mail.example.test", "25");
  EXPECT_EQ(kSockErrTryAgain, sock.LastError());
  EXPECT_LT(MsSince(again), 100);
}

TEST(NameLookup, ARealNameStillResolves) {
  TAddressList found;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  ASSERT_EQ(0, LookupAddresses("localhost", "25", hints, 5000, found));
  EXPECT_FALSE(found.Empty());
  EXPECT_NE(0, LookupAddresses("no-such-host.invalid", "25", hints, 5000, found));
  EXPECT_TRUE(found.Empty());
}

TEST(TcpSocketWire, APassedDeadlineEndsEveryWaitAndSend) {
  ScriptedServer server;
  server.Send("partial").Pause(2000).Start();
  Client c(server);
  ASSERT_EQ(0, c.sock.LastError());
  c.sock.SetDeadline(TBlockingSocket::Clock::now() + std::chrono::milliseconds(kShortMs));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("", c.sock.RecvString(10000));
  EXPECT_EQ(kSockErrTimedOut, c.sock.LastError());
  EXPECT_LT(MsSince(start), kShortMs + 1000);
  c.sock.SendString("QUIT\r\n");
  EXPECT_EQ(kSockErrTimedOut, c.sock.LastError());
  c.sock.SSLDoConnect();
  EXPECT_EQ(kSockErrTlsFailed, c.sock.LastError());
  EXPECT_LT(MsSince(start), kShortMs + 1000);
}

TEST(TcpSocketWire, CloseStopsDrainingADripAfterItsLimit) {
  ScriptedServer server;
  for (int i = 0; i < 300; ++i) server.Send("x").Pause(20);
  server.Start();
  Client c(server);
  ASSERT_EQ(0, c.sock.LastError());
  const auto start = std::chrono::steady_clock::now();
  c.sock.CloseSocket();
  EXPECT_GE(MsSince(start), kCloseDrainMaxMs - 100);
  EXPECT_LT(MsSince(start), kCloseDrainMaxMs + 1000);
}

TEST(TcpSocketWire, ANameWithADeadAddressFirstReachesTheLiveOne) {
  // "localhost" gives ::1 and 127.0.0.1 here; the server listens on the
  // IPv4 address only, so preferring IPv6 must fall through to it.
  ScriptedServer server;
  server.Send("220 ready\r\n").Start();
  TTcpSocket sock;
  sock.PreferIP4 = false;
  sock.ConvertLineEnd = true;
  sock.Connect("localhost", server.Port());
  ASSERT_EQ(0, sock.LastError());
  EXPECT_EQ("220 ready", sock.RecvString(2000));
}
