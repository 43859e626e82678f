#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>

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

// Sends the first reply at once and each next one after the client's line,
// or after its whole message when the reply before was a 354.
void Play(ScriptedServer& server, const std::vector<std::string>& replies) {
  for (size_t i = 0; i < replies.size(); ++i) {
    if (i > 0 && replies[i - 1].rfind("354", 0) == 0) server.ReadMessage();
    else if (i > 0) server.ReadLine();
    server.Send(replies[i]);
  }
}

// One scripted session: the server's replies, the client's settings, the
// step after the login, and what must hold then. Unset expectations are not checked.
struct Session {
  using Step = std::function<bool(TSmtpClient&)>;
  std::string name;
  std::vector<std::string> replies;
  std::function<void(ScriptedServer&)> tail;  // script steps after the replies
  std::string user, password;
  bool autoTls = false;
  std::optional<int> timeoutMs, sessionTimeoutMs;
  Step then;  // runs after a login that must succeed; its result is the one expected
  bool ok = false;
  std::optional<bool> esmtp, authDone, socketGone;
  std::optional<int> maxSize, code, enh1, sockError;
  std::optional<TSmtpLoginFailure> failure;
  std::optional<std::string> wire, wireLacks;
  std::optional<long long> minMs, maxMs;  // how long the login, or the step after it, took

  Session(std::string n, std::vector<std::string> r) : name(std::move(n)), replies(std::move(r)) {}
  Session& Tail(std::function<void(ScriptedServer&)> t) { tail = std::move(t); return *this; }
  Session& User(std::string u, std::string p = "") {
    user = std::move(u);
    password = std::move(p);
    return *this;
  }
  Session& AutoTls() { autoTls = true; return *this; }
  Session& Timeout(int ms) { timeoutMs = ms; return *this; }
  Session& SessionTimeout(int ms) { sessionTimeoutMs = ms; return *this; }
  Session& Then(Step s) { then = std::move(s); return *this; }
  Session& Ok() { ok = true; return *this; }
  Session& Esmtp(bool b) { esmtp = b; return *this; }
  Session& AuthDone(bool b) { authDone = b; return *this; }
  Session& SocketGone() { socketGone = true; return *this; }
  Session& MaxSize(int n) { maxSize = n; return *this; }
  Session& Code(int n) { code = n; return *this; }
  Session& Enh1(int n) { enh1 = n; return *this; }
  Session& SockError(int e) { sockError = e; return *this; }
  Session& Failure(TSmtpLoginFailure f) { failure = f; return *this; }
  Session& Wire(std::string w) { wire = std::move(w); return *this; }
  Session& WireLacks(std::string w) { wireLacks = std::move(w); return *this; }
  Session& AtLeastMs(long long ms) { minMs = ms; return *this; }
  Session& UnderMs(long long ms) { maxMs = ms; return *this; }
};
void PrintTo(const Session& s, std::ostream* out) { *out << s.name; }

std::vector<Session> Sessions() {
  const std::string challenge = Base64Encode("<42.1@mail.test>");
  const auto drip = [](const char* byte, int count, int pauseMs) {
    return [=](ScriptedServer& s) { for (int i = 0; i < count; ++i) s.Send(byte).Pause(pauseMs); };
  };
  const std::string ready = "220 ready\r\n";
  return {
      Session("EhloRefusedHeloAcceptedMeansNoAuthentication",
              {"220 old server\r\n", "502 5.5.1 Command not implemented\r\n", "250 old server\r\n"})
          .User("user", "secret").Ok().Esmtp(false).AuthDone(false)
          .Wire("EHLO client.test\r\nHELO client.test\r\n"),
      Session("OldAuthEqualsFormUsesLogin",
              {ready, "250-mail.test\r\n250-AUTH=LOGIN\r\n250 SIZE 5000\r\n", "334 VXNlcm5hbWU6\r\n",
               "334 UGFzc3dvcmQ6\r\n", "235 2.7.0 Authenticated\r\n"})
          .User("user", "secret").Ok().AuthDone(true).MaxSize(5000)
          .Wire("EHLO client.test\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n"),
      // RFC 4616: base64 of NUL "user" NUL "secret".
      Session("PlainOnlyServerGetsAuthPlain",
              {ready, "250-mail.test\r\n250 AUTH PLAIN\r\n", "334 \r\n", "235 2.7.0 Authenticated\r\n"})
          .User("user", "secret").Ok().AuthDone(true)
          .Wire("EHLO client.test\r\nAUTH PLAIN\r\nAHVzZXIAc2VjcmV0\r\n"),
      Session("RefusedCredentialsFailTheLoginAndNothingFollows",
              {ready, "250-mail.test\r\n250 AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
               "535 5.7.8 Authentication failed\r\n"})
          .User("user", "wrong").Failure(TSmtpLoginFailure::AuthRefused)
          .Wire("EHLO client.test\r\nAUTH LOGIN\r\ndXNlcg==\r\nd3Jvbmc=\r\n"),
      Session("CredentialsWithoutAKnownMechanismFailTheLogin",
              {ready, "250-mail.test\r\n250 AUTH GSSAPI XLOGIN\r\n"})
          .User("user").Failure(TSmtpLoginFailure::AuthNoMechanism).Wire("EHLO client.test\r\n"),
      Session("StartTlsChosenEndsTheSessionWhenNotOffered",
              {ready, "250-mail.test\r\n250 AUTH LOGIN\r\n", "250 mail.test\r\n"})
          .AutoTls().User("user", "secret").Failure(TSmtpLoginFailure::StartTlsMissing).WireLacks("AUTH"),
      Session("StartTlsChosenEndsTheSessionAfterHelo", {ready, "502 no\r\n", "250 mail.test\r\n"})
          .AutoTls().User("user", "secret").Failure(TSmtpLoginFailure::StartTlsMissing).WireLacks("AUTH"),
      // Each byte comes well inside the reply time-out, so only the session's
      // deadline can end the wait.
      Session("OneDeadlineForTheWholeSessionAgainstADrippingServer", {ready})
          .Tail([drip](ScriptedServer& s) { s.ReadLine(); drip("2", 100, 50)(s); })
          .SessionTimeout(400).SockError(kSockErrTimedOut).AtLeastMs(350).UnderMs(400 + 1000),
      Session("DripAfterQuitCannotHoldTheClose", {ready, "250 mail.test\r\n", "221 bye\r\n"})
          .Tail(drip("x", 200, 20)).Then([](TSmtpClient& c) { return c.Logout(); }).Ok()
          .AtLeastMs(kCloseDrainMaxMs - 100).UnderMs(kCloseDrainMaxMs + 1000),
      Session("AnyPositiveReplyAfterTheTextIsAccepted",
              {ready, "250 mail.test\r\n", "354 go\r\n", "252 queued somewhere\r\n"})
          .Then([](TSmtpClient& c) { return c.MailData({"x"}); }).Ok(),
      // A mechanism the server does not know, or a failure of the moment,
      // judged no credentials: the next mechanism follows. A refusal of
      // the credentials ends the login there, one failed login and not two.
      Session("CramMd5UnknownThenLogin",
              {ready, "250-mail.test\r\n250 AUTH LOGIN CRAM-MD5\r\n", "504 5.5.4 Unrecognized authentication type\r\n",
               "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 2.7.0 Authenticated\r\n"})
          .User("user", "secret").Ok().AuthDone(true)
          .Wire("EHLO client.test\r\nAUTH CRAM-MD5\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n"),
      Session("CramMd5FailingForTheMomentThenLogin",
              {ready, "250-mail.test\r\n250 AUTH LOGIN CRAM-MD5\r\n", "334 " + challenge + "\r\n",
               "454 4.7.0 Temporary authentication failure\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
               "235 2.7.0 Authenticated\r\n"})
          .User("user", "secret").Ok().AuthDone(true),
      Session("CramMd5CredentialsRefusedEndTheLogin",
              {ready, "250-mail.test\r\n250 AUTH LOGIN CRAM-MD5\r\n", "334 " + challenge + "\r\n",
               "535 5.7.8 Authentication failed\r\n"})
          .User("user", "wrong").Failure(TSmtpLoginFailure::AuthRefused).Code(535)
          .Wire("EHLO client.test\r\nAUTH CRAM-MD5\r\n" + smtp::CramMd5Response("user", "wrong", challenge) +
                "\r\n"),
      Session("LoginPasswordRefusedIsNotTriedAgainWithPlain",
              {ready, "250-mail.test\r\n250 AUTH PLAIN LOGIN\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
               "535 5.7.8 Authentication failed\r\n"})
          .User("user", "wrong").Failure(TSmtpLoginFailure::AuthRefused).WireLacks("AUTH PLAIN"),
      Session("MechanismRefusedBeforeAnyCredentialEndsTheLogin",
              {ready, "250-mail.test\r\n250 AUTH LOGIN PLAIN\r\n",
               "538 5.7.11 Encryption required for requested authentication mechanism\r\n"})
          .User("user", "secret").Failure(TSmtpLoginFailure::AuthRefused).WireLacks("AUTH PLAIN"),
      Session("StartTlsRefusedFailsTheLogin",
              {ready, "250-mail.test\r\n250 STARTTLS\r\n", "454 4.7.0 TLS not available\r\n"})
          .AutoTls().Code(454).Enh1(4),
      Session("DataRefusedSendsNoMessageText", {ready, "250 mail.test\r\n", "451 4.3.0 Try later\r\n"})
          .Then([](TSmtpClient& c) { return c.MailData({"Subject: never", "", "text"}); })
          .Code(451).Wire("EHLO client.test\r\nDATA\r\n"),
      Session("QuitAnsweredWith250IsFalseButCloses", {ready, "250 mail.test\r\n", "250 odd\r\n"})
          .Then([](TSmtpClient& c) { return c.Logout(); }).Code(250).SocketGone(),
      Session("SilentServerFailsAfterTheTimeOut", {})
          .Timeout(kSilentTimeoutMs).Code(0).SockError(kSockErrTimedOut).UnderMs(kSilentTimeoutMs + 1000),
      Session("ServerClosingAtOnceFailsWith10054", {})
          .Tail([](ScriptedServer& s) { s.Close(); }).Code(0).SockError(kSockErrConnReset),
      Session("ReplyCutOffAfterItsFirstLineIsNoReply", {ready, "250-mail.test\r\n250-SIZE 100\r\n"})
          .Tail([](ScriptedServer& s) { s.Close(); }).Code(0),
  };
}

// A client aimed at a scripted server that each case scripts and starts.
class SmtpClientWire : public ::testing::Test {
protected:
  SmtpClientWire() { Aim(client, server); }
  // Connects to a server that sends `reply` and nothing more, and reads it.
  void ReadOnly(const std::string& reply) {
    server.Send(reply).Start();
    ASSERT_TRUE(client.Connect());
    EXPECT_EQ(0, client.ReadResult());
  }
  ScriptedServer server;
  TSmtpClient client;
};

class SmtpClientSession : public SmtpClientWire, public ::testing::WithParamInterface<Session> {};

} // namespace

TEST_P(SmtpClientSession, Scripted) {
  const Session& c = GetParam();
  Play(server, c.replies);
  if (c.tail) c.tail(server);
  server.Start();
  client.UserName = c.user;
  client.Password = c.password;
  client.AutoTLS = c.autoTls;
  if (c.timeoutMs) client.Timeout = *c.timeoutMs;
  if (c.sessionTimeoutMs) client.SessionTimeout = *c.sessionTimeoutMs;
  auto start = std::chrono::steady_clock::now();
  bool ok = client.Login();
  if (c.then) {
    ASSERT_TRUE(ok);
    start = std::chrono::steady_clock::now();
    ok = c.then(client);
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(c.ok, ok);
  if (c.esmtp) { EXPECT_EQ(*c.esmtp, client.ESMTP); }
  if (c.authDone) { EXPECT_EQ(*c.authDone, client.AuthDone); }
  if (c.maxSize) { EXPECT_EQ(*c.maxSize, client.MaxSize); }
  if (c.failure) { EXPECT_EQ(*c.failure, client.LoginFailure); }
  if (c.code) { EXPECT_EQ(*c.code, client.ResultCode); }
  if (c.enh1) { EXPECT_EQ(*c.enh1, client.EnhCode1); }
  if (c.sockError) { EXPECT_EQ(*c.sockError, client.Sock.LastError()); }
  if (c.socketGone) { EXPECT_EQ(-1, client.Sock.Socket()); }
  if (c.minMs) { EXPECT_GE(ms, *c.minMs); }
  if (c.maxMs) { EXPECT_LT(ms, *c.maxMs); }
  if (!c.wire && !c.wireLacks) return;
  client.Sock.CloseSocket();
  if (c.wire) { EXPECT_EQ(*c.wire, server.Received()); }
  if (c.wireLacks) {
    EXPECT_EQ(std::string::npos, server.Received().find(*c.wireLacks)) << server.Received();
  }
}

INSTANTIATE_TEST_SUITE_P(SmtpClientWire, SmtpClientSession, ::testing::ValuesIn(Sessions()),
                         [](const auto& info) { return info.param.name; });

TEST_F(SmtpClientWire, WholeSessionWithTwoLineGreetingSizeWithoutNumberAndDotStuffing) {
  Play(server, {"220-mail.test first line\r\n220 mail.test ready\r\n",
                "250-mail.test\r\n250-SIZE\r\n250 8BITMIME\r\n", "250 2.1.0 Sender ok\r\n",
                "250 2.1.5 Recipient ok\r\n", "354 Go ahead\r\n", "250 2.0.0 Queued\r\n",
                "221 2.0.0 Bye\r\n"});
  server.Start();
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

TEST_F(SmtpClientWire, LongContinuationLinesStopAtTheReplyByteCap) {
  std::string lines;
  const std::string line = "250-" + std::string(4000, 'c') + "\r\n";
  while (lines.size() < 2 * kMaxReplyBytes) lines += line;
  ASSERT_NO_FATAL_FAILURE(ReadOnly(lines + "250 end\r\n"));
  size_t held = 0;
  for (const auto& l : client.FullResult) held += l.size();
  EXPECT_LE(held, kMaxReplyBytes);
  EXPECT_LT(client.FullResult.size(), kMaxReplyLines);
  EXPECT_EQ(-1, client.Sock.Socket());  // out of step: the session is over
}

TEST_F(SmtpClientWire, EndlessReplyStopsAtTheLineLimit) {
  std::string lines;
  for (size_t i = 0; i < kMaxReplyLines + 10; ++i) lines += "220-more\r\n";
  ASSERT_NO_FATAL_FAILURE(ReadOnly(lines + "220 end\r\n"));
  EXPECT_EQ(kMaxReplyLines, client.FullResult.size());
}

TEST_F(SmtpClientWire, LineBreaksInCommandTextSendNothing) {
  Play(server, {"220 ready\r\n", "250 mail.test\r\n", "250 ok\r\n"});
  server.Start();
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
