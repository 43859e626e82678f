#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <string>

#include "pop3/Pop3Client.h"
#include "pop3/Pop3Error.h"
#include "support/Pop3Peer.h"
#include "support/Pop3ScriptServer.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

// POP3 with STLS or TLS from the first byte, and the one deadline of a poll.
namespace {

void Aim(TPop3Client& client, int port) {
  client.Host = "127.0.0.1";
  client.Port = port;
  client.UserId = Pop3Peer::kUser;
  client.Password = Pop3Peer::kPassword;
  client.ReplyTimeoutMs = 5000;
  client.ConnectTimeoutMs = 5000;
}

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

} // namespace

TEST(Pop3Wire, StlsRefusedEndsTheSessionBeforeTheCredentials) {
  Pop3ScriptServer server([](ScriptConnection& c) {
    c.Send("+OK ready\r\n");
    ASSERT_EQ(c.ReadLine().value_or("-"), "STLS");
    c.Send("-ERR not here\r\n");
    c.WaitClosed();
  });
  TPop3Client client;
  Aim(client, server.Port());
  client.ConnectType = kPop3ConnectStls;
  EXPECT_THROW(client.Connect(), EPop3StlsRefused);
  EXPECT_FALSE(client.Connected());
  server.Join();
  EXPECT_EQ(server.Received(), "STLS\r\nQuit\r\n");
}

TEST(Pop3Wire, OneDeadlineForTheWholeSessionAgainstADrippingServer) {
  // Every byte comes well within the reply time-out; only the session's
  // deadline can end the wait.
  Pop3ScriptServer server([](ScriptConnection& c) {
    try {
      for (int i = 0; i < 100; ++i) {
        c.Send("+");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    } catch (const std::exception&) {
      // the client has gone, as it should
    }
  });
  TPop3Client client;
  Aim(client, server.Port());
  client.SessionTimeoutMs = 400;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client.Connect(), EPop3Timeout);
  EXPECT_GE(MsSince(start), 350);
  EXPECT_LT(MsSince(start), 400 + 1000);
  server.Join();
}

class Pop3TlsTest : public ::testing::Test {
protected:
  void SetUp() override {
    const std::string why = Pop3Peer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  void StartWith(bool trusted) {
    const std::string cert = dir_.File("pop3.pem"), key = dir_.File("pop3-key.pem");
    if (trusted) ASSERT_TRUE(WriteServerCert(ca_, "localhost,127.0.0.1", cert, key));
    else ASSERT_TRUE(WriteSelfSignedCert(cert, key, "wrong.name.invalid", true));
    peer_.EnableTls(cert, key);
    peer_.Start();
    peer_.AddMessage("Subject: request\n\nbody\n");
  }
  // One poll: count and delete, as the request check does.
  int Poll(TPop3Client& client) {
    client.Connect();
    const int count = client.GetMessageCount();
    for (int i = 1; i <= count; ++i) client.DeleteMessage(i);
    client.Disconnect();
    return count;
  }
  TempDir dir_;
  TestCa ca_ = WriteTestCa(dir_.Path());
  TrustedCa trusted_{ca_.certPath};
  Pop3Peer peer_;
};

TEST_F(Pop3TlsTest, StlsAndTlsFromTheFirstByteWithATrustedCertificate) {
  StartWith(true);
  TPop3Client stls;
  Aim(stls, peer_.Port());
  stls.Host = "localhost";
  stls.ConnectType = kPop3ConnectStls;
  EXPECT_EQ(1, Poll(stls));
  EXPECT_TRUE(peer_.WaitForMessageCount(0)) << peer_.Log();

  peer_.AddMessage("Subject: again\n\nbody\n");
  TPop3Client tls;
  Aim(tls, peer_.TlsPort());
  tls.ConnectType = kPop3ConnectTls;
  EXPECT_EQ(1, Poll(tls));
  EXPECT_TRUE(peer_.WaitForMessageCount(0)) << peer_.Log();
}

TEST_F(Pop3TlsTest, UntrustedCertificateEndsTheSessionUnlessTheUserOptedOut) {
  StartWith(false);
  for (int type : {kPop3ConnectStls, kPop3ConnectTls}) {
    TPop3Client client;
    Aim(client, type == kPop3ConnectTls ? peer_.TlsPort() : peer_.Port());
    client.ConnectType = type;
    EXPECT_THROW(client.Connect(), EPop3CertificateNotTrusted) << type;
    EXPECT_FALSE(client.Connected());
  }
  // No login was tried: the user name never reached the server.
  EXPECT_EQ(peer_.Log().find("user=<user>"), std::string::npos) << peer_.Log();
  EXPECT_EQ(1, peer_.MessageCount());

  TPop3Client optedOut;
  Aim(optedOut, peer_.TlsPort());
  optedOut.ConnectType = kPop3ConnectTls;
  optedOut.VerifyCert = false;
  EXPECT_EQ(1, Poll(optedOut));
}
