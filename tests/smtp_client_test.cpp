#include <gtest/gtest.h>

#include <chrono>

#include "platform/Base64.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpClient.h"
#include "net/SocketError.h"
#include "support/ScriptedServer.h"

namespace {

constexpr int kTestTimeoutMs = 2000;
constexpr int kSilentTimeoutMs = 300;

void Aim(TSmtpClient& client, const ScriptedServer& server) {
  client.TargetPort = server.Port();
  client.Timeout = kTestTimeoutMs;
  client.SystemName = "client.test";
}

} // namespace

TEST(SmtpClientWire, WholeSessionWithTwoLineGreetingSizeWithoutNumberAndDotStuffing) {
  ScriptedServer server;
  server.Send("220-mail.test first line\r\n220 mail.test ready\r\n")
      .ReadLine().Send("250-mail.test\r\n250-SIZE\r\n250 8BITMIME\r\n")
      .ReadLine().Send("250 2.1.0 Sender ok\r\n")
      .ReadLine().Send("250 2.1.5 Recipient ok\r\n")
      .ReadLine().Send("354 Go ahead\r\n")
      .ReadMessage().Send("250 2.0.0 Queued\r\n")
      .ReadLine().Send("221 2.0.0 Bye\r\n")
      .Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Login());
  EXPECT_TRUE(client.ESMTP);
  EXPECT_TRUE(client.ESMTPSize);
  EXPECT_EQ(0, client.MaxSize);
  EXPECT_EQ((std::vector<std::string>{"SIZE", "8BITMIME"}), client.ESMTPcap);
  EXPECT_FALSE(client.AuthDone);

  ASSERT_TRUE(client.MailFrom("from@mail.test", 1234));
  EXPECT_EQ(250, client.ResultCode);
  EXPECT_EQ(2, client.EnhCode1);
  EXPECT_EQ(1, client.EnhCode2);
  EXPECT_EQ(0, client.EnhCode3);
  ASSERT_TRUE(client.MailTo("to@mail.test"));
  ASSERT_TRUE(client.MailData({"Subject: test", "", ".", ".hidden", "body"}));
  EXPECT_EQ("250 2.0.0 Queued", client.ResultString);
  EXPECT_TRUE(client.Logout());
  EXPECT_EQ(-1, client.Sock.Socket());

  EXPECT_EQ("EHLO client.test\r\n"
            "MAIL FROM:<from@mail.test> SIZE=1234\r\n"
            "RCPT TO:<to@mail.test>\r\n"
            "DATA\r\n"
            "Subject: test\r\n\r\n..\r\n..hidden\r\nbody\r\n.\r\n"
            "QUIT\r\n",
            server.Received());
}

TEST(SmtpClientWire, EhloRefusedHeloAcceptedMeansNoAuthentication) {
  ScriptedServer server;
  server.Send("220 old server\r\n")
      .ReadLine().Send("502 5.5.1 Command not implemented\r\n")
      .ReadLine().Send("250 old server\r\n")
      .Start();
  TSmtpClient client;
  Aim(client, server);
  client.UserName = "user";
  client.Password = "secret";
  EXPECT_TRUE(client.Login());
  EXPECT_FALSE(client.ESMTP);
  EXPECT_FALSE(client.AuthDone);
  client.Sock.CloseSocket();
  EXPECT_EQ("EHLO client.test\r\nHELO client.test\r\n", server.Received());
}

TEST(SmtpClientWire, OldAuthEqualsFormUsesLogin) {
  ScriptedServer server;
  server.Send("220 ready\r\n")
      .ReadLine().Send("250-mail.test\r\n250-AUTH=LOGIN\r\n250 SIZE 5000\r\n")
      .ReadLine().Send("334 VXNlcm5hbWU6\r\n")
      .ReadLine().Send("334 UGFzc3dvcmQ6\r\n")
      .ReadLine().Send("235 2.7.0 Authenticated\r\n")
      .Start();
  TSmtpClient client;
  Aim(client, server);
  client.UserName = "user";
  client.Password = "secret";
  EXPECT_TRUE(client.Login());
  EXPECT_TRUE(client.AuthDone);
  EXPECT_EQ(5000, client.MaxSize);
  client.Sock.CloseSocket();
  EXPECT_EQ("EHLO client.test\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n", server.Received());
}

TEST(SmtpClientWire, PlainOnlyServerGetsAuthPlain) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250-mail.test\r\n250 AUTH PLAIN\r\n")
      .ReadLine().Send("334 \r\n")
      .ReadLine().Send("235 2.7.0 Authenticated\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  client.UserName = "user";
  client.Password = "secret";
  EXPECT_TRUE(client.Login());
  EXPECT_TRUE(client.AuthDone);
  client.Sock.CloseSocket();
  // RFC 4616: base64 of NUL "user" NUL "secret".
  EXPECT_EQ("EHLO client.test\r\nAUTH PLAIN\r\nAHVzZXIAc2VjcmV0\r\n", server.Received());
}

TEST(SmtpClientWire, RefusedCredentialsFailTheLoginAndNothingFollows) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250-mail.test\r\n250 AUTH LOGIN\r\n")
      .ReadLine().Send("334 VXNlcm5hbWU6\r\n")
      .ReadLine().Send("334 UGFzc3dvcmQ6\r\n")
      .ReadLine().Send("535 5.7.8 Authentication failed\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  client.UserName = "user";
  client.Password = "wrong";
  EXPECT_FALSE(client.Login());
  EXPECT_EQ(TSmtpLoginFailure::AuthRefused, client.LoginFailure);
  client.Sock.CloseSocket();
  EXPECT_EQ("EHLO client.test\r\nAUTH LOGIN\r\ndXNlcg==\r\nd3Jvbmc=\r\n", server.Received());
}

TEST(SmtpClientWire, CredentialsWithoutAKnownMechanismFailTheLogin) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250-mail.test\r\n250 AUTH GSSAPI XLOGIN\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  client.UserName = "user";
  EXPECT_FALSE(client.Login());
  EXPECT_EQ(TSmtpLoginFailure::AuthNoMechanism, client.LoginFailure);
  client.Sock.CloseSocket();
  EXPECT_EQ("EHLO client.test\r\n", server.Received());
}

TEST(SmtpClientWire, StartTlsChosenEndsTheSessionWhenNotOfferedOrAfterHelo) {
  for (const char* ehloReply : {"250-mail.test\r\n250 AUTH LOGIN\r\n", "502 no\r\n"}) {
    ScriptedServer server;
    server.Send("220 ready\r\n").ReadLine().Send(ehloReply).ReadLine().Send("250 mail.test\r\n").Start();
    TSmtpClient client;
    Aim(client, server);
    client.AutoTLS = true;
    client.UserName = "user";
    client.Password = "secret";
    EXPECT_FALSE(client.Login());
    EXPECT_EQ(TSmtpLoginFailure::StartTlsMissing, client.LoginFailure);
    client.Sock.CloseSocket();
    EXPECT_EQ(std::string::npos, server.Received().find("AUTH")) << server.Received();
  }
}

TEST(SmtpClientWire, OneDeadlineForTheWholeSessionAgainstADrippingServer) {
  // Each byte comes well inside the reply time-out, so only the session's
  // deadline can end the wait.
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine();
  for (int i = 0; i < 100; ++i) server.Send("2").Pause(50);
  server.Start();
  TSmtpClient client;
  Aim(client, server);
  client.SessionTimeout = 400;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Login());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(kSockErrTimedOut, client.Sock.LastError());
  EXPECT_GE(ms, 350);
  EXPECT_LT(ms, 400 + 1000);
}

TEST(SmtpClientWire, DripAfterQuitCannotHoldTheClose) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 mail.test\r\n").ReadLine().Send("221 bye\r\n");
  for (int i = 0; i < 200; ++i) server.Send("x").Pause(20);
  server.Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Login());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.Logout());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, kCloseDrainMaxMs - 100);
  EXPECT_LT(ms, kCloseDrainMaxMs + 1000);
}

TEST(SmtpClientWire, LongContinuationLinesStopAtTheReplyByteCap) {
  std::string lines;
  const std::string line = "250-" + std::string(4000, 'c') + "\r\n";
  while (lines.size() < 2 * kMaxReplyBytes) lines += line;
  ScriptedServer server;
  server.Send(lines + "250 end\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Connect());
  EXPECT_EQ(0, client.ReadResult());
  size_t held = 0;
  for (const auto& l : client.FullResult) held += l.size();
  EXPECT_LE(held, kMaxReplyBytes);
  EXPECT_LT(client.FullResult.size(), kMaxReplyLines);
  EXPECT_EQ(-1, client.Sock.Socket());  // out of step: the session is over
}

TEST(SmtpClientWire, AnyPositiveReplyAfterTheTextIsAccepted) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 mail.test\r\n")
      .ReadLine().Send("354 go\r\n").ReadMessage().Send("252 queued somewhere\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Login());
  EXPECT_TRUE(client.MailData({"x"}));
}

TEST(SmtpClientWire, CramMd5RejectedThenLogin) {
  const std::string challenge = Base64Encode("<42.1@mail.test>");
  ScriptedServer server;
  server.Send("220 ready\r\n")
      .ReadLine().Send("250-mail.test\r\n250 AUTH LOGIN CRAM-MD5\r\n")
      .ReadLine().Send("334 " + challenge + "\r\n")
      .ReadLine().Send("535 5.7.8 Authentication failed\r\n")
      .ReadLine().Send("334 VXNlcm5hbWU6\r\n")
      .ReadLine().Send("334 UGFzc3dvcmQ6\r\n")
      .ReadLine().Send("235 2.7.0 Authenticated\r\n")
      .Start();
  TSmtpClient client;
  Aim(client, server);
  client.UserName = "user";
  client.Password = "secret";
  EXPECT_TRUE(client.Login());
  EXPECT_TRUE(client.AuthDone);
  client.Sock.CloseSocket();
  EXPECT_EQ("EHLO client.test\r\nAUTH CRAM-MD5\r\n" +
                smtp::CramMd5Response("user", "secret", challenge) +
                "\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n",
            server.Received());
}

TEST(SmtpClientWire, StartTlsRefusedFailsTheLogin) {
  ScriptedServer server;
  server.Send("220 ready\r\n")
      .ReadLine().Send("250-mail.test\r\n250 STARTTLS\r\n")
      .ReadLine().Send("454 4.7.0 TLS not available\r\n")
      .Start();
  TSmtpClient client;
  Aim(client, server);
  client.AutoTLS = true;
  EXPECT_FALSE(client.Login());
  EXPECT_EQ(454, client.ResultCode);
  EXPECT_EQ(4, client.EnhCode1);
}

TEST(SmtpClientWire, DataRefusedSendsNoMessageText) {
  ScriptedServer server;
  server.Send("220 ready\r\n")
      .ReadLine().Send("250 mail.test\r\n")
      .ReadLine().Send("451 4.3.0 Try later\r\n")
      .Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Login());
  EXPECT_FALSE(client.MailData({"Subject: never", "", "text"}));
  EXPECT_EQ(451, client.ResultCode);
  client.Sock.CloseSocket();
  EXPECT_EQ("EHLO client.test\r\nDATA\r\n", server.Received());
}

TEST(SmtpClientWire, QuitAnsweredWith250IsFalseButCloses) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 mail.test\r\n").ReadLine().Send("250 odd\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Login());
  EXPECT_FALSE(client.Logout());
  EXPECT_EQ(250, client.ResultCode);
  EXPECT_EQ(-1, client.Sock.Socket());
}

TEST(SmtpClientWire, SilentServerFailsAfterTheTimeOut) {
  ScriptedServer server;
  server.Start();
  TSmtpClient client;
  Aim(client, server);
  client.Timeout = kSilentTimeoutMs;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Login());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(0, client.ResultCode);
  EXPECT_EQ(kSockErrTimedOut, client.Sock.LastError());
  EXPECT_LT(ms, kSilentTimeoutMs + 1000);
}

TEST(SmtpClientWire, ServerClosingAtOnceFailsWith10054) {
  ScriptedServer server;
  server.Close().Start();
  TSmtpClient client;
  Aim(client, server);
  EXPECT_FALSE(client.Login());
  EXPECT_EQ(0, client.ResultCode);
  EXPECT_EQ(kSockErrConnReset, client.Sock.LastError());
}

TEST(SmtpClientWire, ReplyCutOffAfterItsFirstLineIsNoReply) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250-mail.test\r\n250-SIZE 100\r\n").Close().Start();
  TSmtpClient client;
  Aim(client, server);
  EXPECT_FALSE(client.Login());
  EXPECT_EQ(0, client.ResultCode);
}

TEST(SmtpClientWire, EndlessReplyStopsAtTheLineLimit) {
  std::string lines;
  for (size_t i = 0; i < kMaxReplyLines + 10; ++i) lines += "220-more\r\n";
  ScriptedServer server;
  server.Send(lines + "220 end\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Connect());
  EXPECT_EQ(0, client.ReadResult());
  EXPECT_EQ(kMaxReplyLines, client.FullResult.size());
}

TEST(SmtpClientWire, LineBreaksInCommandTextSendNothing) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 mail.test\r\n")
      .ReadLine().Send("250 ok\r\n").Start();
  TSmtpClient client;
  Aim(client, server);
  ASSERT_TRUE(client.Login());
  EXPECT_FALSE(client.MailFrom("a@mail.test>\r\nRCPT TO:<victim@mail.test", 10));
  EXPECT_EQ(0, client.ResultCode);
  EXPECT_FALSE(client.MailTo("b@mail.test>\nDATA"));
  client.SystemName = "host\rQUIT";
  EXPECT_FALSE(client.Ehlo());
  EXPECT_TRUE(client.MailTo("ok@mail.test"));
  client.Sock.CloseSocket();
  EXPECT_EQ("EHLO client.test\r\nRCPT TO:<ok@mail.test>\r\n", server.Received());
}
