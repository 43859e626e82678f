#include <filesystem>
#include <memory>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "mail/AlertMail.h"
#include "mail/SmtpClient.h"
#include "pop3/Pop3Client.h"
#include "pop3/RequestCheck.h"
#include "settings/Vardocamdef.h"
#include "pop3/HandledMail.h"
#include "support/Pop3Peer.h"
#include "support/Pop3ScriptServer.h"
#include "support/ScriptedServer.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"
#include "vision/Nsopencv.h"

namespace {
constexpr int kShortWaitMs = 2000;
// Dovecot delays its answer to a wrong password by two seconds.
constexpr int kRefusalWaitMs = 5000;
const char kRequest[] = "From: owner@mail.test\r\nSubject: ?\r\n\r\nshow me\r\n";

// One poll as the monitor runs it: both servers as the settings say at the
// moment, and the detector's frame (when one is given) in the report.
RequestCheckResult Check(TPop3Client& client, nsOpenCV* picture = nullptr) {
  MailServerSettings pop;
  FillPopSettings(pop);
  return CheckRequestMail(client, pop, [picture] {
    MailInputs report;
    report.wanted = AppSettings.IS_CHECK;
    FillSmtpSettings(report.server);
    if (picture) report.writePicture = [picture](const std::string& path) { picture->SaveImage(path); };
    return SendReportMail(report);
  });
}

// A real mailbox and a real SMTP server, with the settings pointing at both.
class RequestCheck : public ::testing::Test {
protected:
  void SetUp() override {
    const std::string why = Pop3Peer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    cv::imwrite(dir_.File("frame.png"), cv::Mat(60, 80, CV_8UC3, cv::Scalar(0, 128, 255)));
    ASSERT_TRUE(vision_.LoadFrame(dir_.File("frame.png")));

    pop_.Start();
    smtp_ = std::make_unique<SmtpPeer>("plain", dir_.Path());
    ASSERT_TRUE(smtp_->Running());
    AppSettings = typVardocam{};
    AppSettings.IS_CHECK = true;
    AppSettings.MAIL_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_PORTNUMBER = std::stoi(smtp_->Port());
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = "owner@mail.test";
    AppSettings.MAIL_R_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_R_PORTNUMBER = pop_.Port();
    AppSettings.MAIL_R_USERNAME = Pop3Peer::kUser;
    AppSettings.MAIL_R_PASSWORD = Pop3Peer::kPassword;
    client_.ReplyTimeoutMs = kShortWaitMs;
    client_.ConnectTimeoutMs = kShortWaitMs;
  }
  void TearDown() override {
    if (!previousDir_.empty()) std::filesystem::current_path(previousDir_);
  }

  RequestCheckResult Check() { return ::Check(client_, &vision_); }
  int ReportsSent() const {
    int n = 0;
    while (std::filesystem::exists(dir_.File("msg-" + std::to_string(n + 1) + ".eml"))) ++n;
    return n;
  }

  TempDir dir_;
  nsOpenCV vision_{"IMAGE"};
  Pop3Peer pop_;
  std::unique_ptr<SmtpPeer> smtp_;
  TPop3Client client_;
  std::filesystem::path previousDir_;
};
} // namespace

TEST_F(RequestCheck, EmptyBoxSendsNothing) {
  Check();
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(ReportsSent(), 0);
}

TEST_F(RequestCheck, ThreeRequestsAreDeletedAndAnsweredOnce) {
  for (int i = 0; i < 3; ++i) pop_.AddMessage(kRequest);
  Check();
  EXPECT_FALSE(client_.Connected());
  EXPECT_TRUE(pop_.WaitForMessageCount(0));
  EXPECT_EQ(ReportsSent(), 1);
  // The box is empty now: the next poll sends nothing more.
  Check();
  EXPECT_EQ(ReportsSent(), 1);
}

TEST_F(RequestCheck, RefusedLoginEndsQuietly) {
  pop_.AddMessage(kRequest);
  AppSettings.MAIL_R_PASSWORD = "wrong";
  client_.ReplyTimeoutMs = kRefusalWaitMs;  // the server answers a wrong password late
  RequestCheckResult result;
  EXPECT_NO_THROW(result = Check());
  EXPECT_NE(result.failure.find("パスワード"), std::string::npos) << result.failure;
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(pop_.MessageCount(), 1);
  EXPECT_EQ(ReportsSent(), 0);
  // A line break in the password is never sent, and fails just as quietly.
  AppSettings.MAIL_R_PASSWORD = std::string(Pop3Peer::kPassword) + "\r\nDELE 1";
  EXPECT_NO_THROW(Check());
  EXPECT_EQ(pop_.MessageCount(), 1);
}

TEST_F(RequestCheck, UnreachableServerEndsQuietly) {
  AppSettings.MAIL_R_PORTNUMBER = 1;
  RequestCheckResult result;
  EXPECT_NO_THROW(result = Check());
  EXPECT_NE(result.failure.find("接続を拒否"), std::string::npos) << result.failure;
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(ReportsSent(), 0);
}

TEST_F(RequestCheck, EncryptionChosenAgainstAPlainServerReadsNothing) {
  pop_.AddMessage(kRequest);
  for (int type : {1, 2}) {
    AppSettings.MAIL_R_CONNECT_TYPE = type;
    const RequestCheckResult result = Check();
    EXPECT_FALSE(result.ok) << type;
    EXPECT_FALSE(result.failure.empty());
    EXPECT_FALSE(client_.Connected());
  }
  EXPECT_EQ(pop_.MessageCount(), 1);
  EXPECT_EQ(ReportsSent(), 0);
  EXPECT_EQ(pop_.Log().find("user=<user>"), std::string::npos) << pop_.Log();
}

TEST(RequestCheckSettings, ConnectTypeAndCertificateChoiceReachTheClient) {
  AppSettings = typVardocam{};
  AppSettings.MAIL_R_CONNECT_TYPE = 2;
  AppSettings.MAIL_R_NOVERIFY_CERT = true;
  MailServerSettings settings;
  FillPopSettings(settings);
  TPop3Client client;
  ApplyPopSettings(client, settings);
  EXPECT_EQ(client.ConnectType, kPop3ConnectTls);
  EXPECT_FALSE(client.VerifyCert);
  AppSettings.MAIL_R_NOVERIFY_CERT = false;
  FillPopSettings(settings);
  ApplyPopSettings(client, settings);
  EXPECT_TRUE(client.VerifyCert);
}

TEST(RequestCheckWire, ErrorAfterLoginReachesTheCallerAndTheNextPollQuits) {
  ScriptedServer server;
  server.Send("+OK ready\r\n")
      .ReadLine().Send("+OK\r\n")    // USER
      .ReadLine().Send("+OK\r\n")    // PASS
      .ReadLine().Send("+OK 2 100\r\n")  // STAT
      .ReadLine().Send("+OK\r\n")    // DELE 1
      .ReadLine().Send("-ERR no such message\r\n")  // DELE 2
      .ReadLine();                   // the next poll's Quit
  server.Start();
  AppSettings = typVardocam{};
  AppSettings.IS_CHECK = true;
  AppSettings.MAIL_R_HOSTNAME = "127.0.0.1";
  AppSettings.MAIL_R_PORTNUMBER = std::stoi(server.Port());
  AppSettings.MAIL_R_USERNAME = "user";
  AppSettings.MAIL_R_PASSWORD = "secret";
  TPop3Client client;
  client.ReplyTimeoutMs = kShortWaitMs;
  EXPECT_ANY_THROW(Check(client));
  EXPECT_TRUE(client.Connected());
  EXPECT_NO_THROW(Check(client));
  EXPECT_FALSE(client.Connected());
  const std::string received = server.Received();
  EXPECT_NE(received.find("DELE 1\r\nDELE 2\r\nQuit\r\n"), std::string::npos) << received;
}

TEST(RequestCheckWire, OnlyRequestsAskForTheReportAndItsFailureIsTheResult) {
  const std::string failure = "SMTPサーバ名が設定されていません。";
  for (int count : {0, 2}) {
    ScriptedServer server;
    server.Send("+OK ready\r\n").ReadLine().Send("+OK\r\n").ReadLine().Send("+OK\r\n")
        .ReadLine().Send("+OK " + std::to_string(count) + " 100\r\n");
    for (int i = 0; i < count; ++i) server.ReadLine().Send("+OK\r\n");
    server.ReadLine().Send("+OK bye\r\n");
    server.Start();
    MailServerSettings settings;
    settings.host = "127.0.0.1";
    settings.port = std::stoi(server.Port());
    settings.userName = "user";
    settings.password = "secret";
    TPop3Client client;
    client.ReplyTimeoutMs = kShortWaitMs;
    int reports = 0;
    const RequestCheckResult result = CheckRequestMail(client, settings, [&] {
      ++reports;
      return MailResult{false, failure};
    });
    EXPECT_EQ(reports, count > 0 ? 1 : 0) << count;
    EXPECT_EQ(result.ok, count == 0);
    EXPECT_EQ(result.requests, count);
    EXPECT_EQ(result.failure, count > 0 ? failure : "");
  }
}

// A server that leaves its mails in place (QUIT refused, or the line cut
// after the last DELE) must not get them handled twice, with or without
// UIDL, and not after a restart: the record knows them by UIDL, else by
// Message-ID; a mail with neither is handled each time, as before.
TEST(RequestCheckWire, MailsTheServerKeepsAreHandledOnce) {
  const std::string header = "Message-ID: <a1@phone.test>\r\nSubject: STATUS 1\r\n";
  struct Row { const char* name; const char* uidl; const char* quit; bool withId; int takes; bool committed; };
  const Row rows[] = {
      {"uidl, quit refused", "+OK 1 AAX9", "-ERR not committed", true, 1, false},
      {"uidl, line cut at quit", "+OK 1 AAX9", nullptr, true, 1, false},
      {"no uidl, Message-ID", "-ERR no UIDL", "-ERR not committed", true, 1, false},
      {"uidl not for this mail", "+OK 2 AAX9", "+OK", true, 1, true},  // the Message-ID then
      {"neither", "-ERR no UIDL", "+OK", false, 2, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    int takes = 0;
    for (int poll = 0; poll < 2; ++poll) {
      Pop3ScriptServer server([&](ScriptConnection& c) {
        c.Send("+OK ready\r\n");
        const std::string top = "+OK\r\n" + (row.withId ? header : "Subject: STATUS 1\r\n") + "\r\n.";
        for (const std::string& answer : {std::string("+OK"), std::string("+OK"), std::string("+OK 1 100"),
                                          std::string(row.uidl), top, std::string("+OK")}) {
          c.ReadLine();  // USER, PASS, STAT, UIDL 1, TOP 1 0, DELE 1
          c.Send(answer + "\r\n");
        }
        EXPECT_EQ(c.ReadLine().value_or("-"), "Quit");
        if (row.quit) c.Send(std::string(row.quit) + "\r\n");
      });
      MailServerSettings settings{"127.0.0.1", 0, server.Port(), "user", "secret", "", "", "", true};
      TPop3Client client;
      client.ReplyTimeoutMs = kShortWaitMs;
      const RequestCommands commands{[&takes](const std::string&) { return ++takes, true; },
                                     [] { return MailResult{}; }};
      HandledMail record(dir.File("mailbox/handled"));  // read anew: a restart between the polls
      ASSERT_TRUE(record.Load(nullptr));
      const RequestCheckResult result =
          CheckRequestMail(client, settings, [] { return MailResult{}; }, &commands, &record);
      server.Join();
      EXPECT_TRUE(result.ok) << result.failure;
      EXPECT_EQ(result.committed, row.committed);
    }
    EXPECT_EQ(takes, row.takes);
  }
}

// The record keeps to its bounds whatever it is fed: the oldest ids go
// first, an overlong id is not kept, and a file over its bound is not read.
TEST(HandledMailRecord, BoundsHold) {
  TempDir dir;
  HandledMail record(dir.File("mailbox/handled"));
  for (size_t i = 0; i <= kMaxHandledIds; ++i) record.Add("uid:" + std::to_string(i));
  record.Add("msgid:" + std::string(kMaxHandledIdBytes, 'x'));
  record.Record().wrongPinsS.assign(kMaxKeptWrongPins + 1, 1796674063);
  ASSERT_TRUE(record.Save(nullptr));
  HandledMail again(dir.File("mailbox/handled"));
  ASSERT_TRUE(again.Load(nullptr));
  EXPECT_EQ(again.Record().ids.size(), kMaxHandledIds);
  EXPECT_FALSE(again.Seen("uid:0"));
  EXPECT_TRUE(again.Seen("uid:1") && again.Seen("uid:" + std::to_string(kMaxHandledIds)));
  EXPECT_FALSE(again.Seen("msgid:" + std::string(kMaxHandledIdBytes, 'x')));
  EXPECT_EQ(again.Record().wrongPinsS.size(), kMaxKeptWrongPins);
  std::filesystem::resize_file(dir.File("mailbox/handled"), kMaxHandledRecordBytes + 1);
  std::string why;
  EXPECT_FALSE(HandledMail(dir.File("mailbox/handled")).Load(&why));
  EXPECT_NE(why.find("大きすぎます"), std::string::npos) << why;
}
