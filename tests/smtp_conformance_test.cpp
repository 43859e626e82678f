#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <thread>

#include "mail/SmtpClient.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

// Whole sessions against a real SMTP server on 127.0.0.1.
namespace {

constexpr int kPeerTimeoutMs = 10000;

// A message that needs several batches, dot-stuffing and 8-bit bytes.
std::vector<std::string> TestMessage() {
  std::vector<std::string> lines = {"From: <from@mail.test>", "To: <to@mail.test>",
                                    "Subject: conformance", "", ".leading dot", ".",
                                    "\xe7\x95\xb0\xe5\xb8\xb8\xe5\x8b\x95\xe4\xbd\x93"};
  for (int i = 0; i < 60; ++i) lines.push_back("line " + std::to_string(i) + std::string(70, '='));
  lines.push_back(std::string(990, 'W'));  // the server refuses lines over 1,000 bytes
  lines.push_back("end");
  return lines;
}

std::string WireText(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  return text;
}

// What the TLS server shows: a certificate from the tests' own authority
// for the name the client uses, one from it for another name, or a
// self-signed expired one for another name.
enum class Cert { Trusted, TrustedOtherName, SelfSignedExpired };

struct Session {
  TempDir dir;
  TestCa ca = WriteTestCa(dir.Path());
  TrustedCa trusted{ca.certPath};
  std::unique_ptr<SmtpPeer> peer;
  TSmtpClient client;

  Session(const std::string& mode, std::vector<std::string> extra = {}, Cert cert = Cert::Trusted) {
    if (mode != "plain") {
      const std::string certPath = dir.File("cert.pem"), keyPath = dir.File("key.pem");
      if (cert == Cert::SelfSignedExpired)
        EXPECT_TRUE(WriteSelfSignedCert(certPath, keyPath, "wrong.name.invalid", true));
      else
        EXPECT_TRUE(WriteServerCert(ca, cert == Cert::Trusted ? "localhost,127.0.0.1" : "other.name.test",
                                    certPath, keyPath));
      extra.insert(extra.end(), {"--cert", certPath, "--key", keyPath});
    }
    peer = std::make_unique<SmtpPeer>(mode, dir.Path(), extra);
    client.TargetPort = peer->Port();
    client.Timeout = kPeerTimeoutMs;
    client.UserName = "user";
    client.Password = "secret";
  }

  // Sends the test message and checks that exactly its bytes arrived.
  void Deliver() {
    const auto lines = TestMessage();
    const std::string text = WireText(lines);
    ASSERT_TRUE(client.MailFrom("from@mail.test", static_cast<int>(text.size())));
    ASSERT_TRUE(client.MailTo("to@mail.test"));
    ASSERT_TRUE(client.MailData(lines)) << client.ResultString;
    EXPECT_EQ(text, ReadFileBytes(dir.File("msg-1.eml")));
    const std::string info = ReadFileBytes(dir.File("msg-1.json"));
    EXPECT_NE(std::string::npos, info.find("\"SIZE=" + std::to_string(text.size()) + "\""));
    EXPECT_NE(std::string::npos, info.find("\"to@mail.test\""));
  }

  std::string Info() { return ReadFileBytes(dir.File("msg-1.json")); }
};

// A session that logs in, delivers the test message and logs out: the
// server's mode and arguments, how the client is set, what must hold after
// the login, and what the server's record of the session must hold.
struct Delivery {
  std::string name, mode;
  std::vector<std::string> extra;
  std::function<void(Session&)> setup, afterLogin;
  std::vector<std::string> recorded;
};
void PrintTo(const Delivery& d, std::ostream* out) { *out << d.name; }

const Delivery kDeliveries[] = {
    {"PlainSessionWithAuthLogin", "plain", {}, nullptr,
     [](Session& s) {
       EXPECT_TRUE(s.client.ESMTP);
       EXPECT_TRUE(s.client.ESMTPSize);
       EXPECT_GT(s.client.MaxSize, 0);
     },
     {"\"mechanism\": \"LOGIN\"", "\"tls\": false"}},
    {"CramMd5IsPreferredWhenOffered", "plain", {"--cram"}, nullptr, nullptr, {"\"mechanism\": \"CRAM-MD5\""}},
    {"ServerOfferingOnlyPlainIsAuthenticatedWithPlain", "plain", {"--only-plain"}, nullptr, nullptr,
     {"\"mechanism\": \"PLAIN\""}},
    // AUTH is offered only inside TLS, so its success proves the capabilities were renewed.
    {"StartTlsThenAuthOnTheSecondEhlo", "starttls", {}, [](Session& s) { s.client.AutoTLS = true; },
     [](Session& s) {
       EXPECT_TRUE(s.client.Sock.SSL().SSLEnabled());
       EXPECT_TRUE(s.client.FindCap("STARTTLS").empty());
     },
     {"\"tls\": true"}},
    {"TlsFromTheFirstByteWithATrustedCertificateByName", "tls", {},
     [](Session& s) { s.client.TargetHost = "localhost"; s.client.FullSSL = true; }, nullptr, {}},
    {"TlsFromTheFirstByteWithATrustedCertificateByAddress", "tls", {},
     [](Session& s) { s.client.TargetHost = "127.0.0.1"; s.client.FullSSL = true; }, nullptr, {}},
};

class SmtpDelivery : public ::testing::TestWithParam<Delivery> {};

} // namespace

TEST_P(SmtpDelivery, LogsInDeliversAndLogsOut) {
  const Delivery& d = GetParam();
  Session s(d.mode, d.extra);
  ASSERT_TRUE(s.peer->Running());
  if (d.setup) d.setup(s);
  ASSERT_TRUE(s.client.Login()) << s.client.Sock.SSL().LastErrorDesc();
  EXPECT_TRUE(s.client.AuthDone);
  if (d.afterLogin) d.afterLogin(s);
  s.Deliver();
  EXPECT_TRUE(s.client.Logout());
  for (const std::string& field : d.recorded) EXPECT_NE(std::string::npos, s.Info().find(field)) << field;
}

INSTANTIATE_TEST_SUITE_P(SmtpConformance, SmtpDelivery, ::testing::ValuesIn(kDeliveries),
                         [](const auto& info) { return info.param.name; });

// Each mechanism more would be one more failed login against the server's lockout.
TEST(SmtpConformance, WrongPasswordIsTriedOnceAndFailsTheLogin) {
  Session s("plain", {"--cram"});
  ASSERT_TRUE(s.peer->Running());
  s.client.Password = "wrong";
  EXPECT_FALSE(s.client.Login());
  EXPECT_FALSE(s.client.AuthDone);
  EXPECT_EQ(TSmtpLoginFailure::AuthRefused, s.client.LoginFailure);
  EXPECT_EQ(535, s.client.ResultCode);
  EXPECT_TRUE(s.client.Logout());
  EXPECT_EQ("CRAM-MD5\n", ReadFileBytes(s.dir.File("auth-failures.log")));
}

TEST(SmtpConformance, StartTlsChosenButNotOfferedEndsBeforeCredentials) {
  Session s("plain");
  ASSERT_TRUE(s.peer->Running());
  s.client.AutoTLS = true;
  EXPECT_FALSE(s.client.Login());
  EXPECT_FALSE(s.client.AuthDone);
  EXPECT_EQ(TSmtpLoginFailure::StartTlsMissing, s.client.LoginFailure);
}

TEST(SmtpConformance, UntrustedCertificatesEndTheSessionBeforeCredentials) {
  for (Cert cert : {Cert::SelfSignedExpired, Cert::TrustedOtherName}) {
    for (const char* mode : {"tls", "starttls"}) {
      Session s(mode, {}, cert);
      ASSERT_TRUE(s.peer->Running());
      s.client.FullSSL = std::string(mode) == "tls";
      s.client.AutoTLS = !s.client.FullSSL;
      EXPECT_FALSE(s.client.Login()) << mode;
      EXPECT_TRUE(s.client.Sock.SSL().CertRejected()) << mode << ": " << s.client.Sock.SSL().LastErrorDesc();
      EXPECT_FALSE(s.client.AuthDone);
      EXPECT_FALSE(std::filesystem::exists(s.dir.File("msg-1.eml")));
    }
  }
}

TEST(SmtpConformance, OptedOutTlsAcceptsAnExpiredWronglyNamedCertificate) {
  Session s("tls", {}, Cert::SelfSignedExpired);
  ASSERT_TRUE(s.peer->Running());
  s.client.FullSSL = true;
  s.client.Sock.SSL().VerifyCert = false;
  ASSERT_TRUE(s.client.Login()) << s.client.Sock.SSL().LastErrorDesc();
  EXPECT_TRUE(s.client.Sock.SSL().SSLEnabled());
  EXPECT_TRUE(s.client.AuthDone);
  s.Deliver();
  EXPECT_NE(std::string::npos, s.Info().find("\"tls\": true"));

  // After the server has gone, writes through TLS fail quietly: no signal.
  s.client.Sock.SendString("QUIT\r\n");
  EXPECT_EQ(221, s.client.ReadResult());
  // The server closes at its own pace; a loaded machine may take a while.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (s.client.Sock.LastError() == 0 && std::chrono::steady_clock::now() < deadline) {
    s.client.Sock.SendString(std::string(65536, 'z'));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(0, s.client.Sock.LastError());
}

TEST(SmtpConformance, TlsFromTheFirstByteAgainstAPlainPortFails) {
  Session s("plain");
  ASSERT_TRUE(s.peer->Running());
  s.client.FullSSL = true;
  EXPECT_FALSE(s.client.Login());
  EXPECT_EQ(kSockErrTlsFailed, s.client.Sock.LastError());
}
