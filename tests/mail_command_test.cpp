#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "archive/EventLayout.h"
#include "mail/HeaderDecode.h"
#include "monitor/MailCommand.h"
#include "monitor/MonitoringCycle.h"
#include "monitor/MonitorMail.h"
#include "pop3/Pop3Client.h"
#include "pop3/RequestCheck.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/Pop3Peer.h"
#include "support/Pop3ScriptServer.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"

namespace {
constexpr char kPin[] = "73915";
constexpr char kOwner[] = "owner@home.test";  // the settings' recipient, also allowed
constexpr char kPhone[] = "Phone@Mobile.test";
constexpr int kShortWaitMs = 3000;

TEST(MailCommandSubject, Rows) {
  struct Row {
    const char* subject;
    MailCommandKind kind;
    bool pinOk;
    int minutes;
    bool minutesOk;
  };
  const Row rows[] = {
      {"監視開始 73915", MailCommandKind::Arm, true, 0, true},
      {"arm 73915", MailCommandKind::Arm, true, 0, true},
      {"ARMED 73915", MailCommandKind::None, false, 0, true},
      {"Re: ARM 73915", MailCommandKind::None, false, 0, true},
      {"監視終了　７３９１５", MailCommandKind::Disarm, true, 0, true},  // full-width space and digits
      {"ＳＴＡＴＵＳ 73915", MailCommandKind::Status, true, 0, true},
      {"最新 73916", MailCommandKind::Last, false, 0, true},
      {"最新 7391", MailCommandKind::Last, false, 0, true},
      {"最新", MailCommandKind::Last, false, 0, true},
      {"一時停止 ３０ 73915", MailCommandKind::Snooze, true, 30, true},
      {"SNOOZE 1440 73915 please", MailCommandKind::Snooze, true, 1440, true},
      {"SNOOZE 73915", MailCommandKind::Snooze, true, 0, false},  // no minutes
      {"SNOOZE 0 73915", MailCommandKind::Snooze, true, 0, false},
      {"SNOOZE 1441 73915", MailCommandKind::Snooze, true, 1441, false},
      {"SNOOZE 99999999999 73915", MailCommandKind::Snooze, true, 0, false},
      {"SNOOZE half 73915", MailCommandKind::Snooze, true, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.subject);
    const CommandSubject parsed = ParseCommandSubject(row.subject, kPin);
    EXPECT_EQ(parsed.kind, row.kind);
    EXPECT_EQ(parsed.pinOk, row.pinOk);
    if (row.kind == MailCommandKind::Snooze) {
      EXPECT_EQ(parsed.minutesOk, row.minutesOk);
      if (row.minutes) EXPECT_EQ(parsed.minutes, row.minutes);
    }
  }
  EXPECT_FALSE(ParseCommandSubject("ARM ", "").pinOk);  // no PIN set: never a match
}

TEST(MailCommandHeader, Rows) {
  struct Row {
    const char* raw;
    const char* text;
  };
  const Row subjects[] = {
      {"=?ISO-2022-JP?B?GyRCNEY7az0qTjsbKEI=?= 73915", "監視終了 73915"},
      {"=?utf-8?q?=E7=8A=B6=E6=B3=81?=_73915", "状況_73915"},
      {"=?UTF-8?Q?=E7=8A=B6?= =?UTF-8?Q?=E6=B3=81?= 73915", "状況 73915"},
      {"\x1b$B:G?7\x1b(B 73915", "最新 73915"},
      {"=?UTF-8?B?not base64?= x", "=?UTF-8?B?not base64?= x"},
  };
  for (const Row& row : subjects) EXPECT_EQ(DecodeHeaderText(row.raw), row.text) << row.raw;

  const std::string longLocal(kMaxSenderAddressBytes - 7, 'a');
  const Row senders[] = {
      {"owner@home.test", "owner@home.test"},
      {"Owner <Owner@Home.test>", "Owner@Home.test"},
      {"\"owner@home.test\" <evil@else.test>", "evil@else.test"},
      {"owner@home.test <evil@else.test>", "evil@else.test"},
      {"\"ARM 73915, me\" (owner@home.test) <evil@else.test>", "evil@else.test"},
      {"owner@home.test, evil@else.test", ""},
      {"<owner@home.test> <evil@else.test>", ""},
      {"friends: owner@home.test;", ""},
      {"owner at home", ""},
      {"<owner@home.test", ""},
  };
  for (const Row& row : senders) EXPECT_EQ(SenderAddress(row.raw), row.text) << row.raw;
  EXPECT_EQ(SenderAddress(longLocal + "@x.test").size(), kMaxSenderAddressBytes);
  EXPECT_EQ(SenderAddress(longLocal + "@xy.test"), "");

  const std::string header = "Subject: a\r\n\tb\r\nfrom: x@y\r\nX: 1\r\n\r\nSubject: body\r\n";
  EXPECT_EQ(HeaderFields(header, "SUBJECT"), std::vector<std::string>{"a\tb"});
  EXPECT_EQ(HeaderFields(header, "From"), std::vector<std::string>{"x@y"});
}

// Switches as told and remembers every call.
class FakeArm : public IArmControl {
public:
  bool Arm(ArmedBy by, std::string*) override {
    calls += "arm;";
    state = {true, by, 0};
    return true;
  }
  void Disarm(ArmedBy by) override {
    calls += "disarm;";
    state = {false, by, 0};
  }
  void Snooze(int minutes, ArmedBy by) override {
    calls += "snooze " + std::to_string(minutes) + ";";
    state = {false, by, 1893456000};
  }
  ArmState State() const override { return state; }
  std::string calls;
  ArmState state;
};

std::string MailText(const std::string& from, const std::string& subject, const std::string& body = "hi") {
  return "From: " + from + "\r\nTo: camera@mail.test\r\nSubject: " + subject + "\r\n\r\n" + body + "\r\n";
}

// A real mailbox and SMTP server, commands on, one event in the archive.
class MailCommandPoll : public ::testing::Test {
protected:
  void SetUp() override {
    const std::string why = Pop3Peer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    cv::imwrite(dir_.File("recept.jpg"), cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 128, 255)));
    const std::string event = dir_.File("events/2026-12-01_08-00-00");
    std::filesystem::create_directories(event);
    WriteFileBytes(event + "/" + kEventMarkerFile, std::string(kEventMarkerLine) + "\nstart_ms=1796112000000\n");
    WriteFileBytes(event + "/" + kEventFirstPicture, "first");
    WriteFileBytes(event + "/" + kEventPeakPicture, "peak");

    pop_.Start();
    smtp_ = std::make_unique<SmtpPeer>("plain", dir_.Path());
    ASSERT_TRUE(smtp_->Running());
    AppSettings = typVardocam{};
    AppSettings.IS_CHECK = true;
    AppSettings.MAIL_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_PORTNUMBER = std::stoi(smtp_->Port());
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = kOwner;
    AppSettings.MAIL_R_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_R_PORTNUMBER = pop_.Port();
    AppSettings.MAIL_R_USERNAME = Pop3Peer::kUser;
    AppSettings.MAIL_R_PASSWORD = Pop3Peer::kPassword;
    AppSettings.REMOTE_PIN = kPin;
    AppSettings.REMOTE_SENDERS = std::string(" OWNER@home.test,") + kPhone;
    AppSettings.EVENT_ARCHIVE = true;
    AppSettings.EVENT_DIR = dir_.File("events");
    mail_.PopClient.ReplyTimeoutMs = kShortWaitMs;
    mail_.PopClient.ConnectTimeoutMs = kShortWaitMs;
    mail_.SetArmControl(&arm_);
  }
  void TearDown() override {
    if (!previousDir_.empty()) std::filesystem::current_path(previousDir_);
  }

  RequestCheckResult Poll(const std::vector<std::string>& mails) {
    for (const std::string& m : mails) pop_.AddMessage(m);
    const RequestCheckResult result = mail_.CheckRequestMail(camera_);
    EXPECT_TRUE(pop_.WaitForMessageCount(0));
    for (const std::string& n : result.notices) allNotices_ += n + "\n";
    return result;
  }
  // The mails sent since the last call: each one's decoded subject, and
  // its envelope and bytes.
  std::vector<std::string> NewMails(std::vector<std::string>* raw = nullptr) {
    std::vector<std::string> subjects;
    for (;; ++seen_) {
      const std::string base = dir_.File("msg-" + std::to_string(seen_ + 1));
      if (!std::filesystem::exists(base + ".json")) break;
      const std::string eml = ReadFileBytes(base + ".eml");
      const std::vector<std::string> subject = HeaderFields(eml, "Subject");
      subjects.push_back(subject.empty() ? "" : DecodeHeaderText(subject[0]));
      if (raw) raw->push_back(ReadFileBytes(base + ".json") + eml);
      everything_ += ReadFileBytes(base + ".json") + eml;
    }
    return subjects;
  }

  TempDir dir_;
  std::filesystem::path previousDir_;
  Pop3Peer pop_;
  std::unique_ptr<SmtpPeer> smtp_;
  FakeClock clock_{1000};
  CallLog log_;
  ScriptedCamera camera_{log_};
  FakeArm arm_;
  MonitorMail mail_;
  int seen_ = 0;
  std::string allNotices_;
  std::string everything_;
};
} // namespace

TEST_F(MailCommandPoll, EachMailAsItsSubjectAndSenderSay) {
  std::string filler;
  while (filler.size() <= kMaxCommandHeaderBytes) filler += "X-Filler: " + std::string(70, 'x') + "\r\n";
  struct Row {
    const char* name;
    std::vector<std::string> mails;
    const char* calls;                 // what the arm control was asked
    std::vector<std::string> replies;  // the subjects' heads, in the order sent
    const char* alsoTo;                // the first reply's second recipient
    const char* attached;              // a file the first reply carries
    const char* notice;
  };
  const char* report = "状況報告画像";
  const Row rows[] = {
      {"arm", {MailText("Owner <owner@home.test>", "監視開始 73915")}, "arm;", {"監視を開始しました("}, "",
       "recept.jpg", ""},
      {"disarm from the phone", {MailText("phone@mobile.test", "disarm 73915")}, "disarm;",
       {"監視を終了しました("}, "phone@mobile.test", "", ""},
      {"snooze", {MailText(kOwner, "SNOOZE 30 73915")}, "snooze 30;", {"監視を一時停止しました("}, "", "", ""},
      {"snooze, full width", {MailText(kOwner, "一時停止　３０　７３９１５")}, "snooze 30;",
       {"監視を一時停止しました("}, "", "", ""},
      {"snooze too long", {MailText(kOwner, "一時停止 2000 73915")}, "", {"一時停止できませんでした("}, "",
       "", ""},
      {"status", {MailText(kOwner, "状況 73915")}, "", {"現在の状況("}, "", "recept.jpg", ""},
      {"last", {MailText(kOwner, "LAST 73915")}, "", {"最新のイベント("}, "", "peak.jpg", ""},
      {"wrong PIN", {MailText(kOwner, "ARM 11111")}, "", {report}, "", "",
       "誤った暗証番号が使われました(差出人: owner@home.test)"},
      {"unknown sender", {MailText("stranger@else.test", "ARM 73915")}, "", {report}, "", "",
       "stranger@else.test"},
      {"forged display name", {MailText("\"owner@home.test\" <evil@else.test>", "ARM 73915")}, "", {report}, "",
       "", "evil@else.test"},
      {"two senders", {MailText("owner@home.test, evil@else.test", "ARM 73915")}, "", {report}, "", "", ""},
      {"PIN in the body only", {MailText(kOwner, "ARM", "73915")}, "", {report}, "", "", "誤った暗証番号"},
      {"ISO-2022-JP word", {MailText(kOwner, "=?ISO-2022-JP?B?GyRCNEY7az0qTjsbKEI=?= 73915")}, "disarm;",
       {"監視を終了しました("}, "", "", ""},
      {"raw ISO-2022-JP", {MailText(kOwner, "\x1b$B:G?7\x1b(B 73915")}, "", {"最新のイベント("}, "",
       "first.jpg", ""},
      {"UTF-8 words", {MailText(kOwner, "=?UTF-8?Q?=E7=8A=B6?= =?UTF-8?Q?=E6=B3=81?= 73915")}, "",
       {"現在の状況("}, "", "", ""},
      {"header over the limit", {filler + MailText(kOwner, "ARM 73915")}, "", {report}, "", "", ""},
      {"commands and requests together",
       {MailText(kOwner, "ARM 73915"), MailText(kOwner, "?"), MailText(kOwner, "STATUS 73915"),
        MailText(kOwner, "hello")},
       "arm;", {"監視を開始しました(", "現在の状況(", report}, "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    arm_.calls.clear();
    allNotices_.clear();
    const RequestCheckResult result = Poll(row.mails);
    EXPECT_TRUE(result.ok) << result.failure;
    EXPECT_EQ(arm_.calls, row.calls);
    std::vector<std::string> raw;
    const std::vector<std::string> subjects = NewMails(&raw);
    ASSERT_EQ(subjects.size(), row.replies.size());
    for (size_t i = 0; i < subjects.size(); ++i)
      EXPECT_EQ(subjects[i].rfind(row.replies[i], 0), 0u) << subjects[i];
    const std::string recipients = std::string("\"rcpt_tos\": [\"") + kOwner + "\"" +
                                   (*row.alsoTo ? std::string(", \"") + row.alsoTo + "\"" : "") + "]";
    EXPECT_NE(raw[0].find(recipients), std::string::npos) << raw[0].substr(0, 300);
    if (*row.attached) EXPECT_NE(raw[0].find(row.attached), std::string::npos);
    if (*row.notice) EXPECT_NE(allNotices_.find(row.notice), std::string::npos) << allNotices_;
    if (!*row.notice) EXPECT_EQ(allNotices_.find("誤った"), std::string::npos) << allNotices_;
  }
  EXPECT_EQ(everything_.find(kPin), std::string::npos);
}

TEST_F(MailCommandPoll, WrongPinsLockCommandsOutForAnHour) {
  Poll(std::vector<std::string>(kMaxWrongPinsPerHour - 1, MailText(kOwner, "ARM 00000")));
  clock_.Advance(kWrongPinWindowMs);  // those have aged out: the next ones count anew
  for (int i = 0; i < kMaxWrongPinsPerHour; ++i) {
    Poll({MailText(kOwner, "ARM 00000"), MailText(kOwner, "ARM 73915")});
    // Until the last wrong PIN the good one is obeyed.
    EXPECT_EQ(arm_.calls, i + 1 < kMaxWrongPinsPerHour ? "arm;" : "") << i;
    arm_.calls.clear();
  }
  NewMails();
  // Half the hour (the peers' waits move the clock a little as well).
  clock_.Advance(kWrongPinWindowMs / 2);
  Poll({MailText(kOwner, "ARM 73915")});
  EXPECT_EQ(arm_.calls, "");
  const std::vector<std::string> held = NewMails();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].rfind("状況報告画像", 0), 0u) << held[0];

  clock_.Advance(kWrongPinWindowMs / 2);
  Poll({MailText(kOwner, "ARM 73915")});
  EXPECT_EQ(arm_.calls, "arm;");
  NewMails();
  const std::string locked = "1時間受け付けません";
  EXPECT_NE(allNotices_.find(locked), std::string::npos) << allNotices_;
  EXPECT_EQ(allNotices_.find(locked), allNotices_.rfind(locked));  // said once
  EXPECT_EQ((allNotices_ + everything_).find(kPin), std::string::npos);
}

// Stopped, the mailbox is still read when the owner asks, so a command can
// start monitoring again; not before the check interval has passed.
TEST_F(MailCommandPoll, StoppedMonitorStillTakesCommands) {
  FakeTimer timer;
  FakePump pump{log_};
  RecordingSound sound{log_};
  MonitoringCycle cycle{timer, pump, sound, mail_};
  cycle.SetCamera(std::make_unique<ScriptedCamera>(log_));
  AppSettings.IS_CHECK = true;
  AppSettings.CHECK_INTERVAL = 1;
  cycle.RequestCheckTick = GetTickCount();
  pop_.AddMessage(MailText(kOwner, "監視開始 73915"));
  cycle.PollRequestsWhenDue();
  EXPECT_EQ(pop_.MessageCount(), 1);
  clock_.Advance(60001);
  cycle.PollRequestsWhenDue();
  EXPECT_TRUE(pop_.WaitForMessageCount(0));
  EXPECT_EQ(arm_.calls, "arm;");
}

// A server without TOP: the header comes from RETR, the body read past,
// a line longer than all the header may hold among it.
TEST(MailCommandRetr, HeaderOfRetrWhereTopIsRefused) {
  const std::string header = "From: owner@home.test\r\nSubject: STATUS 73915\r\n";
  Pop3ScriptServer server([&header](ScriptConnection& c) {
    c.Send("+OK ready\r\n");
    for (const char* expected : {"USER user", "PASS secret", "STAT", "TOP 1 0", "RETR 1", "DELE 1"}) {
      ASSERT_EQ(c.ReadLine().value_or("-"), expected);
      if (std::string(expected) == "STAT") c.Send("+OK 1 200000\r\n");
      else if (std::string(expected) == "TOP 1 0") c.Send("-ERR no TOP here\r\n");
      else if (std::string(expected) == "RETR 1")
        c.Send("+OK\r\n" + header + "\r\n..not the end\r\n" + std::string(kMaxCommandHeaderBytes * 2, 'b') +
               "\r\n.\r\n");
      else c.Send("+OK\r\n");
    }
    EXPECT_EQ(c.ReadLine().value_or("-"), "Quit");
    c.Close();
  });
  MailServerSettings settings;
  settings.host = "127.0.0.1";
  settings.port = server.Port();
  settings.userName = "user";
  settings.password = "secret";
  TPop3Client client;
  client.ReplyTimeoutMs = kShortWaitMs;
  std::string seen;
  RequestCommands commands;
  commands.take = [&seen](const std::string& h) {
    seen = h;
    return true;
  };
  commands.run = [] { return MailResult{}; };
  const RequestCheckResult result = CheckRequestMail(
      client, settings, [] { return MailResult{false, "no report expected"}; }, &commands);
  server.Join();
  EXPECT_TRUE(result.ok) << result.failure;
  EXPECT_EQ(result.commands, 1);
  EXPECT_EQ(result.requests, 0);
  EXPECT_EQ(seen, header);
}
