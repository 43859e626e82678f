#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "pop3/Pop3Client.h"
#include "pop3/Pop3Error.h"
#include "pop3/Pop3Reply.h"
#include "pop3/Pop3Socket.h"
#include "support/Pop3Peer.h"
#include "support/Pop3ScriptServer.h"

namespace {

// Plays a client's side of the login: greeting, USER, PASS.
void Login(ScriptConnection& c) {
  c.Send("+OK ready\r\n");
  ASSERT_EQ(c.ReadLine().value_or("-"), "USER user");
  c.Send("+OK\r\n");
  ASSERT_EQ(c.ReadLine().value_or("-"), "PASS secret");
  c.Send("+OK logged in\r\n");
}

void Aim(TPop3Client& client, int port) {
  client.Host = "127.0.0.1";
  client.Port = port;
  client.UserId = "user";
  client.Password = "secret";
  client.ReplyTimeoutMs = 3000;
  client.ConnectTimeoutMs = 3000;
}

// The text of the error of type E that `f` throws.
template <typename E, typename F>
std::string ErrorText(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// ---- Replies and lines, on plain bytes ----

TEST(Pop3ReplyTest, LinesEndAtLfWithOrWithoutCr) {
  std::string buffer = "+OK one\r\n+OK two\n+OK th";
  std::string line;
  ASSERT_EQ(TakeLine(buffer, line), TLineResult::Line);
  EXPECT_EQ(line, "+OK one");
  ASSERT_EQ(TakeLine(buffer, line), TLineResult::Line);
  EXPECT_EQ(line, "+OK two");
  EXPECT_EQ(TakeLine(buffer, line), TLineResult::NeedMore);
  buffer += "ree\r\n";
  ASSERT_EQ(TakeLine(buffer, line), TLineResult::Line);
  EXPECT_EQ(line, "+OK three");
  EXPECT_TRUE(buffer.empty());
}

TEST(Pop3ReplyTest, LineCapCountsTheLineEnd) {
  std::string line;
  std::string fits(kMaxReplyLineBytes - 2, 'x');
  std::string buffer = fits + "\r\n";
  EXPECT_EQ(TakeLine(buffer, line), TLineResult::Line);
  buffer = fits + "xx\r\n";
  EXPECT_EQ(TakeLine(buffer, line), TLineResult::TooLong);
  buffer = std::string(kMaxReplyLineBytes, 'x');
  EXPECT_EQ(TakeLine(buffer, line), TLineResult::NeedMore);
  buffer += "x";
  EXPECT_EQ(TakeLine(buffer, line), TLineResult::TooLong);
}

TEST(Pop3ReplyTest, StatusOfALine) {
  EXPECT_EQ(ReplyStatusOf("+OK ready"), 1);
  EXPECT_EQ(ReplyStatusOf("+ok"), 1);
  EXPECT_EQ(ReplyStatusOf("-ERR no"), 0);
  EXPECT_EQ(ReplyStatusOf("-err"), 0);
  EXPECT_EQ(ReplyStatusOf("250 fine"), 250);
  EXPECT_EQ(ReplyStatusOf("2x0 odd"), 0);
  EXPECT_EQ(ReplyStatusOf("-E"), 0);
}

TEST(Pop3ReplyTest, BlankLinesAreSkippedAndContinuationsKept) {
  TPop3Reply reply;
  EXPECT_FALSE(reply.AddLine(""));
  EXPECT_FALSE(reply.AddLine(" \t\x01"));
  EXPECT_TRUE(reply.AddLine("  +OK hello \t"));
  EXPECT_EQ(reply.Lines, std::vector<std::string>{"+OK hello"});
  EXPECT_EQ(reply.Status, 1);

  reply.Clear();
  EXPECT_FALSE(reply.AddLine("250-first"));
  EXPECT_FALSE(reply.AddLine("250-second"));
  EXPECT_FALSE(reply.AddLine(""));
  EXPECT_TRUE(reply.AddLine("250 last"));
  EXPECT_EQ(reply.Lines.size(), 3u);
  EXPECT_EQ(reply.Status, 250);

  reply.Clear();
  for (size_t i = 0; i < kPop3MaxReplyLines; ++i) ASSERT_FALSE(reply.AddLine("999-more"));
  EXPECT_THROW(reply.AddLine("999-more"), EPop3ReplyTooLong);

  // Long lines reach the byte cap long before the line cap.
  reply.Clear();
  const std::string longLine = "999-" + std::string(kMaxReplyLineBytes - 10, 'x');
  size_t kept = 0;
  try {
    for (;;) {
      ASSERT_FALSE(reply.AddLine(longLine));
      ++kept;
    }
  } catch (const EPop3ReplyTooLong&) {
  }
  EXPECT_EQ(kept, kPop3MaxReplyBytes / longLine.size());
  EXPECT_LE(reply.Bytes, kPop3MaxReplyBytes);
}

TEST(Pop3ReplyTest, UniqueIdOfAUidlAnswer) {
  const std::string longest(kMaxUniqueIdBytes, 'z');
  const std::pair<std::string, std::string> rows[] = {
      {"+OK 3 QhdPYR:00WBw1Ph7x7", "QhdPYR:00WBw1Ph7x7"}, {"+ok 3 a", "a"}, {"+OK 3 " + longest, longest},
      {"+OK 3 " + longest + "z", ""}, {"+OK 31 a", ""}, {"+OK 3 a b", ""}, {"+OK 3 ", ""}, {"-ERR 3 a", ""},
      {"+OK 3", ""}};
  for (const auto& [line, id] : rows) EXPECT_EQ(ParseUniqueIdLine(line, 3), id) << line;
}

TEST(Pop3ReplyTest, MessageCountStandsBetweenOkAndTheNextBlank) {
  EXPECT_EQ(ParseMessageCount("+OK 3 4521"), 3);
  EXPECT_EQ(ParseMessageCount("+OK 0 0"), 0);
  EXPECT_EQ(ErrorText<EPop3ConvertError>([] { ParseMessageCount("+OK"); }),
            "'' is not a valid integer value");
  EXPECT_THROW(ParseMessageCount("+OK 3"), EPop3ConvertError);
  EXPECT_THROW(ParseMessageCount("+OK x 10"), EPop3ConvertError);
  EXPECT_THROW(ParseMessageCount("+OK 99999999999 10"), EPop3ConvertError);
}

// ---- The client on the wire, against a scripted server ----

TEST(Pop3ClientWireTest, RejectingGreetingSendsQuitClosesAndRaises) {
  Pop3ScriptServer server([](ScriptConnection& c) {
    c.Send("-ERR go away\r\n");
    EXPECT_TRUE(c.WaitClosed());
  });
  TPop3Client client;
  Aim(client, server.Port());
  try {
    client.Connect();
    FAIL() << "connected";
  } catch (const EPop3ReplyError& e) {
    EXPECT_EQ(e.Status(), 0);
    EXPECT_STREQ(e.what(), "-ERR go away");
  }
  EXPECT_FALSE(client.Connected());
  server.Join();
  EXPECT_EQ(server.Received(), "Quit\r\n");
}

TEST(Pop3ClientWireTest, FullSessionWithSplitReadsLfEndsAndBlankLines) {
  Pop3ScriptServer server([](ScriptConnection& c) {
    c.Send("+OK rea");  // the greeting arrives in two reads
    usleep(100 * 1000);
    c.Send("dy\r\n");
    ASSERT_EQ(c.ReadLine().value_or("-"), "USER user");
    c.Send("\r\n  \r\n+OK\n");  // blank lines first, LF alone at the end
    ASSERT_EQ(c.ReadLine().value_or("-"), "PASS secret");
    c.Send("+OK logged in\r\n");
    ASSERT_EQ(c.ReadLine().value_or("-"), "STAT");
    c.Send("+OK 2 300\r\n");
    ASSERT_EQ(c.ReadLine().value_or("-"), "DELE 1");
    c.Send("+OK\r\n");
    ASSERT_EQ(c.ReadLine().value_or("-"), "DELE 2");
    c.Send("-ERR no such message\r\n");
    EXPECT_TRUE(c.WaitClosed());
  });
  TPop3Client client;
  Aim(client, server.Port());
  client.Host = "LocalHost";
  client.Connect();
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.GetMessageCount(), 2);
  EXPECT_TRUE(client.DeleteMessage(1));
  EXPECT_EQ(ErrorText<EPop3ReplyError>([&] { client.DeleteMessage(2); }),
            "-ERR no such message");
  EXPECT_TRUE(client.Connected());  // an error reply keeps the line
  client.Disconnect();
  EXPECT_FALSE(client.Connected());
  server.Join();
  EXPECT_EQ(server.Received(),
            "USER user\r\nPASS secret\r\nSTAT\r\nDELE 1\r\nDELE 2\r\nQuit\r\n");
}

TEST(Pop3ClientWireTest, ConnectWhileConnectedAndStatusWithoutCountKeepTheLine) {
  Pop3ScriptServer server([](ScriptConnection& c) {
    Login(c);
    ASSERT_EQ(c.ReadLine().value_or("-"), "STAT");
    c.Send("+OK\r\n");
    ASSERT_EQ(c.ReadLine().value_or("-"), "STAT");
    c.Send("+OK 0 0\r\n");
  });
  TPop3Client client;
  Aim(client, server.Port());
  client.Connect();
  EXPECT_EQ(ErrorText<EPop3AlreadyConnected>([&] { client.Connect(); }), "Already connected.");
  EXPECT_THROW(client.GetMessageCount(), EPop3ConvertError);
  EXPECT_EQ(client.GetMessageCount(), 0);
  client.Disconnect();
  server.Join();
  EXPECT_EQ(server.Received(), "USER user\r\nPASS secret\r\nSTAT\r\nSTAT\r\nQuit\r\n");
}

TEST(Pop3ClientWireTest, DisconnectWithoutSocketAndAClosedPeer) {
  TPop3Client idle;
  EXPECT_EQ(ErrorText<EPop3ConnectionClosed>([&] { idle.Disconnect(); }),
            "Connection Closed Gracefully.");

  Pop3ScriptServer server([](ScriptConnection& c) {
    Login(c);
    ASSERT_EQ(c.ReadLine().value_or("-"), "STAT");
    c.Send("+OK 1");  // then the server goes away mid-line
    c.Close();
  });
  TPop3Client client;
  Aim(client, server.Port());
  client.Connect();
  EXPECT_THROW(client.GetMessageCount(), EPop3ConnectionClosed);
  EXPECT_FALSE(client.Connected());
  server.Join();
}

TEST(Pop3ClientWireTest, SilentServerTimesOutAndIsDropped) {
  Pop3ScriptServer server([](ScriptConnection& c) { EXPECT_TRUE(c.WaitClosed(10000)); });
  TPop3Client client;
  Aim(client, server.Port());
  client.ReplyTimeoutMs = 200;
  auto start = std::chrono::steady_clock::now();
  try {
    client.Connect();
    FAIL() << "connected";
  } catch (const EPop3Timeout& e) {
    EXPECT_EQ(e.Code(), 10060);
    EXPECT_EQ(std::string(e.what()).rfind("Socket Error # 10060\r\n", 0), 0u) << e.what();
  }
  EXPECT_GE(MsSince(start), 190);
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_FALSE(client.Connected());
  server.Join();
  EXPECT_EQ(server.Received(), "");  // nothing more is sent on a line out of step
}

TEST(Pop3ClientWireTest, LineBreakInUserOrPasswordIsNeverSent) {
  for (const char* bad : {"secret\r\nDELE 1", "secret\nDELE 1", "x\r"}) {
    Pop3ScriptServer server([](ScriptConnection& c) { Login(c); }, 300);
    TPop3Client client;
    Aim(client, server.Port());
    client.Password = bad;
    EXPECT_THROW(client.Connect(), EPop3LineBreakInCommand);
    EXPECT_FALSE(client.Connected());
    client.Password = "secret";
    client.UserId = bad;
    EXPECT_THROW(client.Connect(), EPop3LineBreakInCommand);
    server.Join();
    EXPECT_FALSE(server.Accepted());
  }
}

TEST(Pop3ClientWireTest, EndlessLineIsCutOff) {
  Pop3ScriptServer server([](ScriptConnection& c) {
    std::string junk(kMaxReplyLineBytes * 4, 'x');
    c.Send("+OK " + junk);
    c.WaitClosed();
  });
  TPop3Client client;
  Aim(client, server.Port());
  EXPECT_THROW(client.Connect(), EPop3ReplyTooLong);
  EXPECT_FALSE(client.Connected());
  server.Join();
}

// ---- The socket under it ----

TEST(Pop3SocketTest, RefusedConnectionIsASocketError) {
  int port;
  { Pop3ScriptServer probe([](ScriptConnection&) {}, 0); port = probe.Port(); }
  TPop3Client client;
  Aim(client, port);
  EXPECT_EQ(ErrorText<EPop3SocketError>([&] { client.Connect(); }),
            "Socket Error # 10061\r\nConnection refused");
  EXPECT_FALSE(client.Connected());
}

TEST(Pop3SocketTest, ConnectToAFullBacklogTimesOut) {
  // A listener that never accepts, its queue filled: further connects hang.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::vector<TPop3Socket> fillers(4);
  for (auto& f : fillers) {
    try {
      f.Open("127.0.0.1", ntohs(addr.sin_port), 100);
    } catch (const EPop3Timeout&) {
    }
  }
  TPop3Client client;
  Aim(client, ntohs(addr.sin_port));
  client.ConnectTimeoutMs = 300;
  client.ReplyTimeoutMs = 10000;  // a connect that got through would show as a late failure
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client.Connect(), EPop3Timeout);
  EXPECT_GE(MsSince(start), 290);
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_FALSE(client.Connected());
  close(listener);
}

TEST(Pop3SocketTest, WritingToAResetConnectionDoesNotRaiseSigpipe) {
  signal(SIGPIPE, SIG_DFL);  // as a program that set nothing would have it
  // The reset waits for a first line, so it cannot race the connect itself.
  Pop3ScriptServer server([](ScriptConnection& c) {
    c.ReadLine();
    c.Reset();
  });
  TPop3Socket socket;
  socket.Open("127.0.0.1", server.Port(), 3000);
  socket.SendAll("HELLO\r\n", DeadlineAfter(1000));
  server.Join();
  usleep(50 * 1000);
  int failures = 0;
  for (int i = 0; i < 3; ++i) {
    try {
      socket.SendAll("NOOP\r\n", DeadlineAfter(1000));
    } catch (const EPop3SocketError& e) {
      EXPECT_EQ(e.Code(), 10054);
      ++failures;
    }
  }
  EXPECT_GE(failures, 2);
}

// ---- Against a real POP3 server ----

class Pop3ClientServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string why = Pop3Peer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    peer_.Start();
    Aim(client_, peer_.Port());
    client_.UserId = Pop3Peer::kUser;
    client_.Password = Pop3Peer::kPassword;
  }
  Pop3Peer peer_;
  TPop3Client client_;
};

TEST_F(Pop3ClientServerTest, EmptyBoxThenThreeMessagesDeleted) {
  client_.Connect();
  EXPECT_EQ(client_.GetMessageCount(), 0);
  client_.Disconnect();

  for (int i = 1; i <= 3; ++i) {
    peer_.AddMessage("From: a@example.com\nSubject: request " + std::to_string(i) + "\n\nbody\n");
  }
  client_.Connect();
  EXPECT_EQ(client_.GetMessageCount(), 3);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(client_.DeleteMessage(i));
  client_.Disconnect();
  EXPECT_TRUE(peer_.WaitForMessageCount(0)) << peer_.Log();

  client_.Connect();
  EXPECT_EQ(client_.GetMessageCount(), 0);
  client_.Disconnect();
}

TEST_F(Pop3ClientServerTest, WrongPasswordFailsAndDisconnects) {
  peer_.AddMessage("Subject: kept\n\nbody\n");
  client_.Password = "wrong";
  EXPECT_THROW(client_.Connect(), EPop3ReplyError);
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(peer_.MessageCount(), 1);
}
