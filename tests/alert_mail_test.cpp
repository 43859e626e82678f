#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <openssl/evp.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mail/AlertMail.h"
#include "mail/HeaderDecode.h"
#include "mail/MessageId.h"
#include "mail/SmtpClient.h"
#include "pop3/RequestCheck.h"
#include "settings/Vardocamdef.h"
#include "support/ReadMail.h"
#include "support/ScriptedServer.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"
#include "vision/Nsopencv.h"

TEST(MailTexts, SubjectConvertsToTheExactIso2022JpBytes) {
  const std::string sjis = Utf8ToCp932("異常動体検出(09:05:03)-");
  EXPECT_EQ(SjisToIso2022Jp(sjis), "\x1B$B0[>oF0BN8!=P\x1B(B(09:05:03)-");
  // The whole Subject ends inside a double-byte run: the escape back closes it.
  const std::string whole = SjisToIso2022Jp(Utf8ToCp932("状況報告画像(12:00:00)-防犯カメラ・ヴァルド"));
  EXPECT_EQ(whole.substr(whole.size() - 3), "\x1B(B");
  EXPECT_EQ(whole.substr(0, 3), "\x1B$B");
}

TEST(MailTexts, SingleBytesPassAndCrLfBecomesLf) {
  EXPECT_EQ(SjisToIso2022Jp("a\r\nb\rc"), "a\nb\rc");
  // Half-width katakana stays a single 8-bit byte.
  EXPECT_EQ(SjisToIso2022Jp("\xB1"), "\xB1");
  // A lead byte with no partner at the end is not read past.
  EXPECT_EQ(SjisToIso2022Jp("x\x82"), "x\x82");
}

TEST(MailTexts, SjisPairArithmetic) {
  EXPECT_EQ(SjisPairToJis(0x88, 0xD9), "\x30\x5B");  // 異
  EXPECT_EQ(SjisPairToJis(0x82, 0xA0), "\x24\x22");  // あ
  EXPECT_EQ(SjisPairToJis(0xE0, 0x40), "\x5F\x21");  // 漾: second half of the lead range
}

TEST(MailTexts, AnsiToUtf8CopiesAnyLength) {
  const std::string longAddress = std::string(5000, 'a') + "@example.jp";
  std::string out;
  size_t length = 0;
  EXPECT_TRUE(AnsiToUtf8(longAddress, &out, length));
  EXPECT_EQ(out, longAddress);
  EXPECT_EQ(length, longAddress.size());
  EXPECT_TRUE(AnsiToUtf8("宛先", nullptr, length));
  EXPECT_EQ(length, 7u);
}

TEST(MailTexts, MessageIdNamesTheSendersDomainOrAPlainFallback) {
  const std::string longest = std::string(kMaxDomainBytes - 5, 'd') + ".test";
  const struct {
    std::string sender, host, domain;
  } rows[] = {
      {"camera@mail.test", "pc", "mail.test"},
      {"防犯 <camera@mail.test>", "pc", "mail.test"},
      {"camera", "pc.local", "pc.local"},
      {"camera@", "pc", "pc"},
      {"camera@mail..test", "pc", "pc"},
      {"camera@mail.test.", "pc", "pc"},
      {"camera@exämple.jp", "pc", "pc"},
      {"camera@mail.test\r\nBcc: thief", "pc", "pc"},
      {"camera@" + longest, "pc", longest},
      {"camera@d" + longest, "pc", "pc"},
      {"camera", "", kMessageIdFallbackDomain},
      {"camera", "bad host\n", kMessageIdFallbackDomain},
  };
  for (const auto& row : rows) EXPECT_EQ(MessageIdDomain(row.sender, row.host), row.domain) << row.sender;
  // 2026-12-07 13:00:00 UTC.
  EXPECT_EQ(MessageId(1796648400, 0xC0FFEE, "mail.test"), "20261207130000.0000000000C0FFEE@mail.test");
}

TEST(MailSettings, FillCopiesTheSendAndReceiveSides) {
  AppSettings = typVardocam{};
  AppSettings.MAIL_HOSTNAME = "smtp";
  AppSettings.MAIL_CONNECT_TYPE = 2;
  AppSettings.MAIL_PORTNUMBER = 465;
  AppSettings.MAIL_PASSWORD = "send";
  AppSettings.MAIL_TOADDRESS = "to@example.jp";
  AppSettings.MAIL_R_HOSTNAME = "pop";
  AppSettings.MAIL_R_PORTNUMBER = 110;
  AppSettings.MAIL_R_PASSWORD = "receive";
  MailServerSettings send, receive;
  FillSmtpSettings(send);
  FillPopSettings(receive);
  EXPECT_EQ(send.host, "smtp");
  EXPECT_EQ(send.connectType, 2);
  EXPECT_EQ(send.port, 465);
  EXPECT_EQ(send.password, "send");
  EXPECT_EQ(send.toAddress, "to@example.jp");
  EXPECT_EQ(receive.host, "pop");
  EXPECT_EQ(receive.password, "receive");
  EXPECT_EQ(receive.toAddress, "");
}

namespace {
std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

bool IsTimeOfDay(const std::string& s) {
  return s.size() == 8 && std::isdigit(s[0]) && std::isdigit(s[1]) && s[2] == ':' &&
         std::isdigit(s[3]) && std::isdigit(s[4]) && s[5] == ':' && std::isdigit(s[6]) &&
         std::isdigit(s[7]);
}

constexpr int kShortReplyTimeoutMs = 300;

// A port that listens but is never served: afterwards it tells whether
// anybody tried to connect.
class Listener {
public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 4);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { close(fd_); }
  int Port() const { return port_; }
  bool Contacted() const {
    const int conn = accept(fd_, nullptr, nullptr);
    if (conn < 0) return false;
    close(conn);
    return true;
  }

private:
  int fd_ = -1;
  int port_ = 0;
};

// A working folder with a frame in the detector and mail settings that
// point at a test server. The mails' picture file is a bare name, so the
// test runs inside the folder.
class MailFixture : public ::testing::Test {
protected:
  void SetUp() override {
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    cv::Mat frame(120, 160, CV_8UC3, cv::Scalar(30, 90, 200));
    cv::imwrite(dir_.File("frame.png"), frame);
    ASSERT_TRUE(vision_.LoadFrame(dir_.File("frame.png")));
    AppSettings = typVardocam{};
    AppSettings.USEMAIL = true;
    AppSettings.IS_CHECK = true;
    AppSettings.MAIL_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_USERNAME = "user";
    AppSettings.MAIL_PASSWORD = "secret";
    AppSettings.MAIL_FROMNAME = "防犯 太郎";
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = "owner@mail.test";
    SetMailReplyTimeoutMs(10000);
  }
  void TearDown() override {
    SetMailReplyTimeoutMs(kSmtpTimeoutMs);
    SetMailSessionTimeoutMs(kSmtpSessionTimeoutMs);
    std::filesystem::current_path(previousDir_);
  }

  std::unique_ptr<SmtpPeer> StartPeer(const std::vector<std::string>& extra = {}) {
    auto peer = std::make_unique<SmtpPeer>("plain", dir_.Path(), extra);
    AppSettings.MAIL_PORTNUMBER = std::stoi(peer->Port());
    return peer;
  }
  // The mails as the monitor sends them: the settings of the moment, and
  // the detector's frame as the picture.
  MailInputs Inputs(bool wanted) {
    MailInputs inputs;
    inputs.wanted = wanted;
    FillSmtpSettings(inputs.server);
    inputs.writePicture = [this](const std::string& path) { vision_.SaveImage(path); };
    return inputs;
  }
  MailResult Alert() { return SendAlertMail(Inputs(AppSettings.USEMAIL)); }
  MailResult Report() { return SendReportMail(Inputs(AppSettings.IS_CHECK)); }

  std::string Delivered(int n = 1) const { return dir_.File("msg-" + std::to_string(n) + ".eml"); }
  bool Exists(const std::string& path) const { return std::filesystem::exists(path); }

  TempDir dir_;
  nsOpenCV vision_{"IMAGE"};
  std::filesystem::path previousDir_;
};
} // namespace

TEST_F(MailFixture, AlertMailCarriesTheTimeAndTheFrameOfTheTick) {
  auto peer = StartPeer();
  ASSERT_TRUE(peer->Running());
  ASSERT_TRUE(Alert().sent);
  ASSERT_TRUE(Exists(Delivered()));
  EXPECT_FALSE(Exists(Delivered(2)));

  auto mail = ReadMail(Delivered());
  const std::string prefix = "異常動体検出(";
  const std::string suffix = ")-防犯カメラ・ヴァルド";
  const std::string& subject = mail["SUBJECT"];
  ASSERT_EQ(subject.substr(0, prefix.size()), prefix) << subject;
  ASSERT_EQ(subject.size(), prefix.size() + 8 + suffix.size()) << subject;
  EXPECT_EQ(subject.substr(prefix.size() + 8), suffix);
  const std::string time = subject.substr(prefix.size(), 8);
  EXPECT_TRUE(IsTimeOfDay(time)) << time;
  EXPECT_EQ(mail["BODY"], "異常動体を検出しました。|検出時刻[" + time +
                              "]|検出画像を添付します|防犯カメラ・ヴァルド");
  EXPECT_EQ(mail["ATTACHMENT"], "recept.jpg " + Md5Hex(ReadFileBytes(dir_.File("recept.jpg"))));
  EXPECT_EQ(mail["DEFECTS"], "0");
  EXPECT_EQ(mail["FROM"], "camera@mail.test");  // the From name is nowhere
  EXPECT_EQ(ReadFileBytes(Delivered()).find("防犯 太郎"), std::string::npos);
  const cv::Mat attached = cv::imread(dir_.File("recept.jpg"));
  EXPECT_EQ(attached.size(), cv::Size(160, 120));
  const std::string info = ReadFileBytes(dir_.File("msg-1.json"));
  EXPECT_NE(info.find("\"owner@mail.test\""), std::string::npos);
  EXPECT_NE(info.find("\"authenticated\": true"), std::string::npos);
}

// A confirmed person's alert carries a second picture after the first.
TEST_F(MailFixture, ASecondPictureFollowsTheFirst) {
  auto peer = StartPeer();
  ASSERT_TRUE(peer->Running());
  MailInputs inputs = Inputs(true);
  inputs.writeSecondPicture = [this](const std::string& path) { vision_.SaveImage(path); };
  ASSERT_TRUE(SendAlertMail(inputs).sent);
  const std::string raw = ReadFileBytes(Delivered());
  EXPECT_LT(raw.find("recept.jpg"), raw.find("person.jpg"));
  auto mail = ReadMail(Delivered());
  EXPECT_EQ(mail["ATTACHMENT"], "person.jpg " + Md5Hex(ReadFileBytes(dir_.File("person.jpg"))));
  EXPECT_EQ(mail["DEFECTS"], "0");
}

TEST_F(MailFixture, ReportMailHasItsOwnSubjectAndBodyAndEveryMailItsOwnMessageId) {
  auto peer = StartPeer();
  ASSERT_TRUE(Report().sent);
  ASSERT_TRUE(Alert().sent);
  auto mail = ReadMail(Delivered());
  const std::string firstId = mail["MESSAGE_ID"];
  EXPECT_TRUE(std::regex_match(firstId, std::regex(R"(<[0-9]{14}\.[0-9A-F]{16}@mail\.test>)"))) << firstId;
  EXPECT_NE(ReadMail(Delivered(2))["MESSAGE_ID"], firstId);
  EXPECT_EQ(mail["SUBJECT"].substr(0, std::string("状況報告画像(").size()), "状況報告画像(");
  const std::string body = mail["BODY"];
  EXPECT_EQ(body.substr(0, std::string("状況報告をします。|撮影時刻[").size()),
            "状況報告をします。|撮影時刻[");
  EXPECT_NE(body.find("]|状況報告画像を添付します|防犯カメラ・ヴァルド"), std::string::npos);
  // Monitoring's state, when known, follows the time; every other line stays.
  ASSERT_TRUE(SendReportMail(Inputs(true), "現在の状態: 監視中（予定による、18:00 まで）").sent);
  auto withState = ReadMail(Delivered(3));
  const std::string time = withState["SUBJECT"].substr(std::string("状況報告画像(").size(), 8);
  EXPECT_EQ(withState["BODY"], "状況報告をします。|撮影時刻[" + time +
                                   "]|現在の状態: 監視中（予定による、18:00 まで）|状況報告画像を添付します|防犯カメラ・ヴァルド");
  EXPECT_EQ(withState["DEFECTS"], "0");
}

// A named camera (CAMERA_NAME or the profile) ends every subject; the
// sender's name shows in From once asked for, without what would break it.
TEST_F(MailFixture, SubjectsNameTheCameraAndFromTheSenderWhenAsked) {
  auto peer = StartPeer();
  struct Row { const char* camera; bool showName; const char* fromName; const char* from; };
  const Row rows[] = {
      {"", false, "防犯 太郎", "camera@mail.test"},
      {"玄関", true, "防犯 太郎", "防犯 太郎 <camera@mail.test>"},
      {"front", true, "Ev\"il <x@y>\r\nBcc: z@w", ""},  // "": a name, and no header of its own
      {"front", true, " ", "camera@mail.test"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.camera);
    AppSettings.MAIL_FROMNAME = row.fromName;
    AppSettings.MAIL_FROMNAME_SHOWN = row.showName;
    MailInputs inputs = Inputs(true);
    inputs.cameraName = row.camera;
    const std::string camera = *row.camera ? row.camera : "防犯カメラ・ヴァルド";
    ASSERT_TRUE(SendAlertMail(inputs).sent);
    ASSERT_TRUE(SendReportMail(inputs).sent);
    ASSERT_TRUE(DeliverMail(inputs.server, ComposeMail("カメラの映像が途絶えました", {"x"}, inputs)).sent);
    for (int i = 0; i < 3; ++i) {
      auto mail = ReadMail(Delivered(++n));
      EXPECT_EQ(mail["SUBJECT"].substr(mail["SUBJECT"].size() - camera.size()), camera) << mail["SUBJECT"];
      const std::string raw = ReadFileBytes(Delivered(n));
      const std::string from = DecodeHeaderText(HeaderFields(raw, "From").at(0));
      if (*row.from) {
        EXPECT_EQ(from, row.from);
      }
      EXPECT_EQ(SenderAddress(HeaderFields(raw, "From").at(0)), "camera@mail.test") << from;  // one address, as sent
      EXPECT_EQ(raw.find("\nBcc:"), std::string::npos);
      EXPECT_EQ(mail["DEFECTS"], "0");
    }
  }
}

TEST_F(MailFixture, ClosedGateTouchesNeitherNetworkNorPicture) {
  Listener server;
  AppSettings.MAIL_PORTNUMBER = server.Port();
  AppSettings.USEMAIL = false;
  EXPECT_TRUE(Alert().sent);
  AppSettings.IS_CHECK = false;
  EXPECT_TRUE(Report().sent);
  EXPECT_FALSE(Exists(dir_.File("recept.jpg")));
  EXPECT_FALSE(server.Contacted());
  // Wanted, but with no server to send to: no picture either.
  AppSettings.USEMAIL = true;
  AppSettings.MAIL_HOSTNAME.clear();
  EXPECT_FALSE(Alert().sent);
  EXPECT_FALSE(Exists(dir_.File("recept.jpg")));
}

TEST_F(MailFixture, RefusedAuthenticationIsAFailedMailAndSaysWhy) {
  auto peer = StartPeer({"--require-auth"});
  AppSettings.MAIL_PASSWORD = "wrong";
  const MailResult result = Alert();
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.failure.find("ユーザ名とパスワード"), std::string::npos) << result.failure;
  EXPECT_NE(result.failure.find("(サーバの応答: 535"), std::string::npos) << result.failure;
  EXPECT_FALSE(Exists(Delivered()));
}

TEST_F(MailFixture, StartTlsChosenButNotOfferedSendsNothing) {
  auto peer = StartPeer();
  AppSettings.MAIL_CONNECT_TYPE = 1;  // STARTTLS, required
  MailResult result = Alert();
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.failure.find("STARTTLS"), std::string::npos) << result.failure;
  EXPECT_FALSE(Exists(Delivered()));
  AppSettings.MAIL_CONNECT_TYPE = 7;  // out of range: none
  result = Alert();
  EXPECT_TRUE(result.sent);
  EXPECT_TRUE(result.failure.empty());
  ASSERT_TRUE(Exists(Delivered(1)));
  EXPECT_NE(ReadFileBytes(dir_.File("msg-1.json")).find("\"tls\": false"), std::string::npos);
}

TEST_F(MailFixture, UntrustedCertificateIsRefusedUnlessTheUserOptedOut) {
  ASSERT_TRUE(WriteSelfSignedCert(dir_.File("cert.pem"), dir_.File("key.pem"), "wrong.name.invalid", false));
  SmtpPeer peer("tls", dir_.Path(), {"--cert", dir_.File("cert.pem"), "--key", dir_.File("key.pem")});
  ASSERT_TRUE(peer.Running());
  AppSettings.MAIL_PORTNUMBER = std::stoi(peer.Port());
  AppSettings.MAIL_CONNECT_TYPE = 2;
  MailResult result = Alert();
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.failure.find("証明書を信頼できません"), std::string::npos) << result.failure;
  EXPECT_FALSE(Exists(Delivered()));
  AppSettings.MAIL_NOVERIFY_CERT = true;
  result = Alert();
  EXPECT_TRUE(result.sent) << result.failure;
  EXPECT_TRUE(Exists(Delivered()));
}

TEST_F(MailFixture, FailedLoginReturnsFalseWithTheReason) {
  AppSettings.MAIL_PORTNUMBER = 1;  // nothing listens there
  const MailResult result = Alert();
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.failure.find("接続を拒否"), std::string::npos) << result.failure;
  EXPECT_FALSE(Exists(dir_.File("recept.jpg")));
}

TEST_F(MailFixture, RefusedSenderOrRecipientEndsWithQuitAndNoData) {
  for (bool refuseSender : {true, false}) {
    ScriptedServer server;
    server.Send("220 ready\r\n").ReadLine().Send("250 ok\r\n");
    if (!refuseSender) server.ReadLine().Send("250 ok\r\n");
    server.ReadLine().Send("550 5.7.1 Not here\r\n").ReadLine().Send("221 bye\r\n");
    server.Start();
    AppSettings.MAIL_PORTNUMBER = std::stoi(server.Port());
    const MailResult result = Alert();
    EXPECT_FALSE(result.sent);
    EXPECT_NE(result.failure.find(refuseSender ? "MAIL FROM" : "RCPT TO"), std::string::npos);
    EXPECT_NE(result.failure.find("550 5.7.1 Not here"), std::string::npos) << result.failure;
    const std::string received = server.Received();
    EXPECT_EQ(received.find("DATA"), std::string::npos) << received;
    EXPECT_NE(received.find("QUIT\r\n"), std::string::npos) << received;
  }
}

TEST_F(MailFixture, ALongRefusalIsQuotedOnlyInPart) {
  ScriptedServer server;
  const std::string words(3000, 'w');
  server.Send("220 ready\r\n").ReadLine().Send("250 ok\r\n")
      .ReadLine().Send("550 " + words + "\r\n").ReadLine().Send("221 bye\r\n");
  server.Start();
  AppSettings.MAIL_PORTNUMBER = std::stoi(server.Port());
  const MailResult result = Alert();
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.failure.find("550 www"), std::string::npos);
  EXPECT_EQ(result.failure.find(words), std::string::npos);
  EXPECT_LT(result.failure.size(), kQuotedReplyMaxBytes + 200);
}

TEST_F(MailFixture, MessageRefusedAfterItsTextIsNotSent) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 ok\r\n")
      .ReadLine().Send("250 ok\r\n").ReadLine().Send("250 ok\r\n")
      .ReadLine().Send("354 go\r\n").ReadMessage().Send("554 5.6.0 Message rejected\r\n")
      .ReadLine().Send("221 bye\r\n");
  server.Start();
  AppSettings.MAIL_PORTNUMBER = std::stoi(server.Port());
  const MailResult result = Report();
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.failure.find("554 5.6.0 Message rejected"), std::string::npos) << result.failure;
}

TEST_F(MailFixture, ServerSilentAfterLoginFailsAfterOneReplyTimeOut) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 ok\r\n").Pause(2000);
  server.Start();
  AppSettings.MAIL_PORTNUMBER = std::stoi(server.Port());
  SetMailReplyTimeoutMs(kShortReplyTimeoutMs);
  const auto start = std::chrono::steady_clock::now();
  const MailResult result = Alert();
  EXPECT_FALSE(result.sent);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // MAIL FROM waits once and ends the transaction; QUIT waits once more.
  EXPECT_LT(elapsed, std::chrono::milliseconds(2 * kShortReplyTimeoutMs + 1500));
  EXPECT_NE(result.failure.find("時間内"), std::string::npos) << result.failure;
  server.Close();
  const std::string received = server.Received();
  EXPECT_NE(received.find("MAIL FROM:<camera@mail.test>"), std::string::npos) << received;
  EXPECT_EQ(received.find("RCPT TO"), std::string::npos) << received;
}

TEST_F(MailFixture, OneDeadlineBoundsTheWholeMail) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 ok\r\n").Pause(3000);
  server.Start();
  AppSettings.MAIL_PORTNUMBER = std::stoi(server.Port());
  SetMailSessionTimeoutMs(400);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Alert().sent);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  SetMailSessionTimeoutMs(kSmtpSessionTimeoutMs);
  EXPECT_LT(elapsed, std::chrono::milliseconds(400 + 1500));
}

TEST_F(MailFixture, AddressesWithLineBreaksAreNeverSent) {
  Listener server;
  AppSettings.MAIL_PORTNUMBER = server.Port();
  AppSettings.MAIL_TOADDRESS = "owner@mail.test\r\nRCPT TO:<thief@mail.test>";
  EXPECT_FALSE(Alert().sent);
  AppSettings.MAIL_TOADDRESS = "owner@mail.test";
  AppSettings.MAIL_MAILADDRESS = "camera@mail.test\nDATA";
  EXPECT_FALSE(Report().sent);
  EXPECT_FALSE(server.Contacted());
}

TEST_F(MailFixture, LongRecipientGoesOutWhole) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 ok\r\n")
      .ReadLine().Send("250 ok\r\n")
      .ReadLine().Send("250 ok\r\n")
      .ReadLine().Send("354 go\r\n")
      .ReadMessage().Send("250 queued\r\n")
      .ReadLine().Send("221 bye\r\n");
  server.Start();
  AppSettings.MAIL_PORTNUMBER = std::stoi(server.Port());
  const std::string longAddress = std::string(3000, 'o') + "@mail.test";
  AppSettings.MAIL_TOADDRESS = longAddress;
  EXPECT_TRUE(Alert().sent);
  const std::string received = server.Received();
  EXPECT_NE(received.find("RCPT TO:<" + longAddress + ">\r\n"), std::string::npos);
  EXPECT_NE(received.find("QUIT\r\n"), std::string::npos);
}

TEST_F(MailFixture, UnreadablePictureClosesTheSessionAndNamesTheFile) {
  ScriptedServer server;
  server.Send("220 ready\r\n").ReadLine().Send("250 ok\r\n").ReadLine().Send("221 bye\r\n");
  server.Start();
  AppSettings.MAIL_PORTNUMBER = std::stoi(server.Port());
  // A folder in the picture's place: it can be neither written nor read.
  std::filesystem::create_directory(dir_.File("recept.jpg"));
  try {
    Alert();
    ADD_FAILURE() << "no error reached the caller";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("recept.jpg"), std::string::npos) << e.what();
  }
  const std::string received = server.Received();
  EXPECT_NE(received.find("QUIT\r\n"), std::string::npos) << received;
  EXPECT_EQ(received.find("MAIL FROM"), std::string::npos);
}
