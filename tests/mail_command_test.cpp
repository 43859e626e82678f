#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <memory>

#include <gtest/gtest.h>

#include "archive/EventLayout.h"
#include "mail/HeaderDecode.h"
#include "mail/MailDate.h"
#include "monitor/MailCommand.h"
#include "monitor/MailCommandDesk.h"
#include "monitor/MonitorMail.h"
#include "monitor/MonitoringCycle.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/Pop3Peer.h"
#include "support/Pop3ScriptServer.h"
#include "support/ReadMail.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"

namespace {
constexpr char kPin[] = "73915";
constexpr char kOwner[] = "owner@home.test";  // the settings' recipient, also allowed

TEST(MailCommandSubject, Rows) {
  using K = MailCommandKind;
  struct Row { const char* subject; K kind; bool pinOk; int minutes; };  // minutes -1: refused
  const Row rows[] = {
      {"監視開始 73915", K::Arm, true, 0},        {"arm 73915", K::Arm, true, 0},
      {"ARMED 73915", K::None, false, 0},         {"Re: ARM 73915", K::None, false, 0},
      {"監視終了　７３９１５", K::Disarm, true, 0}, {"ＳＴＡＴＵＳ 73915", K::Status, true, 0},
      {"最新 73916", K::Last, false, 0},          {"最新 7391", K::Last, false, 0},
      {"一時停止 ３０ 73915", K::Snooze, true, 30}, {"SNOOZE 1440 73915 please", K::Snooze, true, 1440},
      {"SNOOZE 73915", K::Snooze, true, -1},      {"SNOOZE 0 73915", K::Snooze, true, -1},
      {"SNOOZE 1441 73915", K::Snooze, true, -1}, {"SNOOZE 99999999999 73915", K::Snooze, true, -1},
  };
  for (const Row& row : rows) {
    const CommandSubject parsed = ParseCommandSubject(row.subject, kPin);
    EXPECT_EQ(parsed.kind, row.kind) << row.subject;
    EXPECT_EQ(parsed.pinOk, row.pinOk) << row.subject;
    EXPECT_EQ(parsed.minutesOk, row.minutes >= 0) << row.subject;
    if (row.minutes > 0) {
      EXPECT_EQ(parsed.minutes, row.minutes) << row.subject;
    }
  }
  EXPECT_FALSE(ParseCommandSubject("ARM ", "").pinOk);  // no PIN set: never a match
}

TEST(MailCommandHeader, Rows) {
  struct Row { std::string raw; const char* text; };
  const Row subjects[] = {{"=?utf-8?q?=E7=8A=B6=E6=B3=81?=_73915", "状況_73915"},
                          {"=?UTF-8?B?not base64?= x", "=?UTF-8?B?not base64?= x"},
                          {"=?UTF-8?B?54o=?= =?utf-8?B?tuazgQ==?= 1", "状況 1"}};  // a character cut in two
  for (const Row& row : subjects) EXPECT_EQ(DecodeHeaderText(row.raw), row.text) << row.raw;
  const std::string longLocal(kMaxSenderAddressBytes - 7, 'a');
  const Row senders[] = {
      {"Owner <Owner@Home.test>", "Owner@Home.test"},
      {"owner@home.test <evil@else.test>", "evil@else.test"},
      {"\"ARM 73915, me\" (owner@home.test) <evil@else.test>", "evil@else.test"},
      {"<owner@home.test> <evil@else.test>", ""}, {"friends: owner@home.test;", ""},
      {"owner at home", ""}, {"<owner@home.test", ""},
      {longLocal + "@xy.test", ""},  // one byte too long
  };
  for (const Row& row : senders) EXPECT_EQ(SenderAddress(row.raw), row.text) << row.raw;
  EXPECT_EQ(SenderAddress(longLocal + "@x.test"), longLocal + "@x.test");  // just fits
  struct DateRow { const char* value; int64_t epochS; };  // -1: unreadable
  const DateRow dates[] = {
      {"Tue, 8 Dec 2026 05:07:43 +0900", 1796674063}, {"8 dec 2026 05:07 GMT (winter)", 1796706420},
      {"Tue, 08 Dec 26 05:07:43 EST", 1796724463}, {"29 Feb 2028 00:00:00 +0000", 1835395200},
      {"29 Feb 2027 00:00:00 +0000", -1}, {"Tue, 8 Dec 2026 24:00:00 +0000", -1},
      {"8 Dec 2026 05:07:43 +09", -1}, {"8 Dec 2026 05:07:43 XYZ", -1}, {"yesterday", -1}, {"", -1},
  };
  for (const DateRow& row : dates) {
    int64_t epochS = -1;
    EXPECT_EQ(ParseMailDate(row.value, epochS), row.epochS >= 0) << row.value;
    if (row.epochS >= 0) {
      EXPECT_EQ(epochS, row.epochS) << row.value;
    }
  }
  const std::string header = "Subject: a\r\n\tb\r\nfrom: x@y\r\n\r\nSubject: body\r\n";
  EXPECT_EQ(HeaderFields(header, "SUBJECT"), std::vector<std::string>{"a\tb"});
}

// Switches as told and remembers every call.
class FakeArm : public IArmControl {
public:
  bool Arm(ArmedBy by, std::string*) override { return Did("arm;", {true, by, 0}); }
  void Disarm(ArmedBy by) override { Did("disarm;", {false, by, 0}); }
  void Snooze(int m, ArmedBy by) override { Did("snooze " + std::to_string(m) + ";", {false, by, 1893456000}); }
  ArmState State() const override { return state; }
  bool TestAlarm(std::string*) override { return !refuseTest && Did("test;", state); }
  bool Did(const std::string& call, ArmState now) { return calls += call, state = now, true; }
  std::string calls;
  ArmState state;
  bool refuseTest = false;
};

// Each row's words name it in any case and width, its argument is read by
// its rule, and carrying it out answers with what became of it.
TEST(MailCommandTable, EveryWordParsesToItsRowAndEveryRowAnswers) {
  struct Expect { MailCommandKind kind; const char* calls; const char* what; };
  const Expect expected[] = {
      {MailCommandKind::Arm, "arm;", "監視を開始しました"},
      {MailCommandKind::Disarm, "disarm;", "監視を終了しました"},
      {MailCommandKind::Snooze, "snooze 7;", "監視を一時停止しました"},
      {MailCommandKind::Status, "", "現在の状況"},
      {MailCommandKind::Last, "", "最新のイベント"},
      {MailCommandKind::Test, "test;", "テスト警報を始めました"},
  };
  ASSERT_EQ(MailCommands().size(), std::size(expected));
  for (const Expect& e : expected) {
    const MailCommand* row = FindMailCommand(e.kind);
    ASSERT_NE(row, nullptr);
    const std::string argument = row->argument == CommandArgument::Minutes ? " 7" : "";
    for (const char* word : row->words) {
      std::string lower = word;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      for (const std::string& subject : {std::string(word) + argument + " 73915", lower + argument + "　７３９１５"}) {
        const CommandSubject parsed = ParseCommandSubject(subject, kPin);
        EXPECT_EQ(parsed.kind, e.kind) << subject;
        EXPECT_TRUE(parsed.pinOk && parsed.minutesOk) << subject;
        FakeArm arm;
        CommandAnswer answer;
        row->run(CommandCall{arm, parsed, {}}, answer);
        EXPECT_EQ(arm.calls, e.calls) << subject;
        EXPECT_EQ(answer.what, e.what) << subject;
      }
    }
  }
  // The latest event is the latest real one: a test alarm's folder is passed over.
  EventInfo test, real;
  test.test = true;
  test.startMs = int64_t{1900000000} * 1000;  // 2030
  real.startMs = int64_t{1600000000} * 1000;  // 2020
  for (const auto& [kept, said] : {std::pair{std::vector<EventInfo>{test, real}, "2020/09/"},
                                   std::pair{std::vector<EventInfo>{test}, "記録されたイベントはありません"}}) {
    const std::vector<EventInfo> events = kept;
    const CommandSubject last = ParseCommandSubject("LAST 73915", kPin);
    FakeArm arm;
    CommandAnswer answer;
    FindMailCommand(MailCommandKind::Last)->run(CommandCall{arm, last, [events] { return events; }}, answer);
    ASSERT_FALSE(answer.lines.empty());
    EXPECT_NE(answer.lines[0].find(said), std::string::npos) << answer.lines[0];
  }
  // Without its minutes a snooze switches nothing and says how to ask.
  const CommandSubject bare = ParseCommandSubject("SNOOZE 73915", kPin);
  FakeArm arm;
  CommandAnswer answer;
  FindMailCommand(MailCommandKind::Snooze)->run(CommandCall{arm, bare, {}}, answer);
  EXPECT_EQ(arm.calls, "");
  EXPECT_EQ(answer.what, "一時停止できませんでした");
  EXPECT_EQ(FindMailCommand(MailCommandKind::None), nullptr);
  // Where no test alarm can be made, the answer says so.
  arm.refuseTest = true;
  FindMailCommand(MailCommandKind::Test)->run(CommandCall{arm, ParseCommandSubject("TEST 73915", kPin), {}}, answer);
  EXPECT_EQ(answer.what, "テスト警報を始められませんでした");
}

// A Date field `offsetS` from now, as a phone writes it.
std::string DateField(int64_t offsetS = 0) {
  const std::time_t when = std::time(nullptr) + offsetS;
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[64];
  std::strftime(text, sizeof text, "Date: %a, %d %b %Y %H:%M:%S +0000\r\n", &utc);
  return text;
}
std::string MailText(const std::string& from, const std::string& subject, const std::string& body = "hi",
                     const std::string& more = DateField()) {
  return "From: " + from + "\r\nTo: camera@mail.test\r\n" + more + "Subject: " + subject + "\r\n\r\n" + body + "\r\n";
}
std::string Owners(const std::string& subject) { return MailText(kOwner, subject); }

// A real mailbox and SMTP server, commands on, one event in the archive.
class MailCommandPoll : public ::testing::Test {
protected:
  void SetUp() override {
    const std::string why = Pop3Peer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    WriteFileBytes(dir_.File("recept.jpg"), "now");
    const std::string event = dir_.File("events/2026-12-01_08-00-00/");
    std::filesystem::create_directories(event);
    WriteFileBytes(event + kEventMarkerFile, std::string(kEventMarkerLine) + "\nstart_ms=1796112000000\n");
    for (const char* picture : {kEventFirstPicture, kEventPeakPicture}) WriteFileBytes(event + picture, picture);
    pop_.Start();
    smtp_ = std::make_unique<SmtpPeer>("plain", dir_.Path());
    ASSERT_TRUE(smtp_->Running());
    AppSettings = typVardocam{};
    AppSettings.IS_CHECK = true;
    AppSettings.MAIL_HOSTNAME = AppSettings.MAIL_R_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_PORTNUMBER = std::stoi(smtp_->Port());
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = kOwner;
    AppSettings.MAIL_R_PORTNUMBER = pop_.Port();
    AppSettings.MAIL_R_USERNAME = Pop3Peer::kUser;
    AppSettings.MAIL_R_PASSWORD = Pop3Peer::kPassword;
    AppSettings.REMOTE_PIN = kPin;
    AppSettings.REMOTE_SENDERS = " OWNER@home.test,Phone@Mobile.test";
    AppSettings.EVENT_ARCHIVE = true;
    AppSettings.EVENT_DIR = dir_.File("events");
    mail_.SetArmControl(&arm_);
  }
  void TearDown() override {
    if (!previousDir_.empty()) std::filesystem::current_path(previousDir_);
  }

  RequestCheckResult Poll(const std::vector<std::string>& mails) {
    for (const std::string& m : mails) pop_.AddMessage(m);
    const RequestCheckResult result = mail_.CheckRequestMail(ContextOfNow());
    EXPECT_TRUE(pop_.WaitForMessageCount(0));
    for (const std::string& n : result.notices) notices_ += n + "\n";
    return result;
  }
  // The decoded subjects of the mails sent since the last call; their
  // envelopes and bytes in raw_.
  std::vector<std::string> NewMails() {
    std::vector<std::string> subjects;
    raw_.clear();
    for (std::string base; std::filesystem::exists((base = dir_.File("msg-" + std::to_string(seen_ + 1))) + ".json");) {
      raw_.push_back(ReadFileBytes(base + ".json") + ReadFileBytes(base + ".eml"));
      subjects.push_back(DecodeHeaderText(HeaderFields(ReadFileBytes(base + ".eml"), "Subject").at(0)));
      sent_ += raw_.back();
      ++seen_;
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
  std::string notices_;
  std::string sent_;
  std::vector<std::string> raw_;
};
} // namespace

TEST_F(MailCommandPoll, EachMailAsItsSubjectAndSenderSay) {
  std::string filler;
  while (filler.size() <= kMaxCommandHeaderBytes) filler += "X-Filler: " + std::string(70, 'x') + "\r\n";
  // The mails; what the arm control was asked; the replies' subject heads in the order sent; the first
  // reply's second recipient and a file it carries; a notice.
  struct Row { const char* name; std::vector<std::string> mails; const char* calls; std::vector<std::string> replies;
               const char* alsoTo; const char* attached; const char* notice; };
  const char* report = "状況報告画像";
  const Row rows[] = {
      {"arm", {MailText("Owner <owner@home.test>", "監視開始 73915")}, "arm;", {"監視を開始しました("}, "", "recept.jpg", ""},
      {"disarm, phone", {MailText("phone@mobile.test", "disarm 73915")}, "disarm;", {"監視を終了しました("},
       "phone@mobile.test", "", ""},
      {"snooze", {Owners("SNOOZE 30 73915")}, "snooze 30;", {"監視を一時停止しました("}, "", "", ""},
      {"full width", {Owners("一時停止　３０　７３９１５")}, "snooze 30;", {"監視を一時停止しました("}, "", "", ""},
      {"snooze too long", {Owners("一時停止 2000 73915")}, "", {"一時停止できませんでした("}, "", "", ""},
      {"status", {Owners("状況 73915")}, "", {"現在の状況("}, "", "recept.jpg", ""},
      {"last", {Owners("LAST 73915")}, "", {"最新のイベント("}, "", "peak.jpg", ""},
      {"test", {Owners("テスト 73915")}, "test;", {"テスト警報を始めました("}, "", "recept.jpg", ""},
      {"wrong PIN", {Owners("ARM 11111")}, "", {report}, "", "", "誤った暗証番号が使われました(差出人: owner@home.test)"},
      {"unknown sender", {MailText("stranger@else.test", "ARM 73915")}, "", {report}, "", "", "stranger@else.test"},
      {"forged name", {MailText("\"owner@home.test\" <evil@else.test>", "ARM 73915")}, "", {report}, "", "", "evil@"},
      {"two senders", {MailText("owner@home.test, evil@else.test", "ARM 73915")}, "", {report}, "", "", ""},
      {"PIN in the body", {MailText(kOwner, "ARM", "73915")}, "", {report}, "", "", "誤った暗証番号"},
      {"ISO-2022-JP word", {Owners("=?ISO-2022-JP?B?GyRCNEY7az0qTjsbKEI=?= 73915")}, "disarm;", {"監視を終了しました("},
       "", "", ""},
      {"raw ISO-2022-JP", {Owners("\x1b$B:G?7\x1b(B 73915")}, "", {"最新のイベント("}, "", "first.jpg", ""},
      {"UTF-8 words", {Owners("=?UTF-8?Q?=E7=8A=B6?= =?UTF-8?Q?=E6=B3=81?= 73915")}, "", {"現在の状況("}, "", "", ""},
      {"header too long", {filler + Owners("ARM 73915")}, "", {report}, "", "", ""},
      {"mixed", {Owners("ARM 73915"), Owners("?"), Owners("STATUS 73915"), Owners("hello")}, "arm;",
       {"監視を開始しました(", "現在の状況(", report}, "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    arm_.calls.clear();
    notices_.clear();
    const RequestCheckResult result = Poll(row.mails);
    EXPECT_TRUE(result.ok) << result.failure;
    EXPECT_EQ(arm_.calls, row.calls);
    const std::vector<std::string> subjects = NewMails();
    ASSERT_EQ(subjects.size(), row.replies.size());
    // Each command's answer is counted as a confirmation, the report not.
    EXPECT_EQ(result.confirmations.size(),
              row.replies.size() - static_cast<size_t>(std::count(row.replies.begin(), row.replies.end(), report)));
    for (size_t i = 0; i < subjects.size(); ++i) EXPECT_EQ(subjects[i].rfind(row.replies[i], 0), 0u) << subjects[i];
    // A plain request's report says monitoring's state too, as a reader sees it.
    if (row.replies[0] == report) {
      const std::string first = dir_.File("msg-" + std::to_string(seen_ - subjects.size() + 1) + ".eml");
      EXPECT_NE(ReadMail(first)["BODY"].find("]|現在の状態: " + ArmStateText(arm_.state) + "|"), std::string::npos);
    }
    const std::string to = std::string("\"rcpt_tos\": [\"") + kOwner + (*row.alsoTo ? "\", \"" : "") + row.alsoTo + "\"]";
    EXPECT_NE(raw_[0].find(to), std::string::npos) << raw_[0].substr(0, 300);
    EXPECT_NE(raw_[0].find(row.attached), std::string::npos);
    // A command carried out is told with its sender; a plain request is not.
    const std::string notice = *row.notice ? row.notice : row.replies[0] == report ? "" : "メールの指示: " + row.replies[0];
    EXPECT_TRUE(notice.empty() ? notices_.empty() : notices_.find(notice) != std::string::npos) << notices_;
  }
  EXPECT_EQ(sent_.find(kPin), std::string::npos);
}

TEST_F(MailCommandPoll, WrongPinsLockCommandsOutForAnHour) {
  Poll(std::vector<std::string>(kMaxWrongPinsPerHour - 1, Owners("ARM 00000")));
  clock_.Advance(kWrongPinWindowMs);  // those have aged out: the next ones count anew
  for (int i = 0; i < kMaxWrongPinsPerHour; ++i) {
    Poll({Owners("ARM 00000"), Owners("ARM 73915")});
    // Until the last wrong PIN the good one is obeyed.
    EXPECT_EQ(arm_.calls, i + 1 < kMaxWrongPinsPerHour ? "arm;" : "") << i;
    arm_.calls.clear();
  }
  NewMails();
  clock_.Advance(kWrongPinWindowMs / 2);  // the peers' waits move the clock a little too
  Poll({Owners("ARM 73915")});
  EXPECT_EQ(arm_.calls, "");
  EXPECT_EQ(NewMails().at(0).rfind("状況報告画像", 0), 0u);
  clock_.Advance(kWrongPinWindowMs / 2);
  Poll({Owners("ARM 73915")});
  EXPECT_EQ(arm_.calls, "arm;");
  NewMails();
  const std::string locked = "1時間受け付けません";
  EXPECT_NE(notices_.find(locked), std::string::npos) << notices_;
  EXPECT_EQ(notices_.find(locked), notices_.rfind(locked));  // said once
  EXPECT_EQ((notices_ + sent_).find(kPin), std::string::npos);
}

// Stopped, the mailbox is still read when the owner asks, so a command can
// start monitoring again; not before the check interval has passed.
TEST_F(MailCommandPoll, StoppedMonitorStillTakesCommands) {
  FakeTimer timer;
  FakePump pump{log_};
  RecordingSound sound{log_};
  MonitoringCycle cycle{timer, pump, sound, mail_};
  cycle.SetCamera(std::make_unique<ScriptedCamera>(log_));
  AppSettings.CHECK_INTERVAL = 1;
  cycle.PostponeRequestCheck();
  pop_.AddMessage(Owners("監視開始 73915"));
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
  const std::string retr = "+OK\r\n" + header + "\r\n..not the end\r\n" +
                           std::string(kMaxCommandHeaderBytes * 2, 'b') + "\r\n.";
  const std::pair<const char*, std::string> script[] = {{"USER user", "+OK"}, {"PASS secret", "+OK"},
      {"STAT", "+OK 1 200000"}, {"TOP 1 0", "-ERR no TOP here"}, {"RETR 1", retr}, {"DELE 1", "+OK"}};
  Pop3ScriptServer server([&script](ScriptConnection& c) {
    c.Send("+OK ready\r\n");
    for (const auto& step : script) {
      ASSERT_EQ(c.ReadLine().value_or("-"), step.first);
      c.Send(step.second + "\r\n");
    }
    EXPECT_EQ(c.ReadLine().value_or("-"), "Quit");
  });
  MailServerSettings settings{"127.0.0.1", 0, server.Port(), "user", "secret", "", "", "", true};
  TPop3Client client;
  std::string seen;
  const RequestCommands commands{[&seen](const std::string& h) { return !(seen = h).empty(); },
                                 [] { return MailResult{}; }};
  const RequestCheckResult result =
      CheckRequestMail(client, settings, [] { return MailResult{false, "no report expected"}; }, &commands);
  server.Join();
  EXPECT_TRUE(result.ok) << result.failure;
  EXPECT_EQ(result.commands, 1);
  EXPECT_EQ(seen, header);
}

// A command runs only when fresh and new: its Date within the window and
// its Message-ID never carried out, even when the mailbox delivers it again.
TEST_F(MailCommandPoll, StaleOrReplayedCommandsAreRefusedSayingWhy) {
  const std::string id = "Message-ID: <once@phone.test>\r\n";
  const auto dated = [](int64_t offsetS) { return MailText(kOwner, "ARM 73915", "hi", DateField(offsetS)); };
  struct Row { const char* name; std::vector<std::vector<std::string>> polls; const char* calls; const char* notice; };
  const Row rows[] = {
      {"a year old", {{dated(-365 * 86400)}}, "", "24時間以上離れている"},
      {"ten years ahead", {{dated(3650LL * 86400)}}, "", "24時間以上離れている"},
      {"just outside", {{dated(-kCommandDateWindowS - 600)}}, "", "24時間以上離れている"},
      {"just inside", {{dated(-kCommandDateWindowS + 600)}}, "arm;", ""},
      {"unreadable Date", {{MailText(kOwner, "ARM 73915", "hi", "Date: yesterday\r\n")}}, "", "Date)が読めない"},
      {"no Date", {{MailText(kOwner, "ARM 73915", "hi", "")}}, "", "Date)が読めない"},
      {"delivered again", {{MailText(kOwner, "ARM 73915", "hi", id + DateField())},
                           {MailText(kOwner, "ARM 73915", "hi", id + DateField())}}, "arm;", "実行済み"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    arm_.calls.clear();
    notices_.clear();
    for (const std::vector<std::string>& poll : row.polls) Poll(poll);
    NewMails();
    EXPECT_EQ(arm_.calls, row.calls);
    EXPECT_TRUE(*row.notice ? notices_.find(row.notice) != std::string::npos : notices_.find("実行しません") == std::string::npos)
        << notices_;
  }
}

// The lock-out and the wrong PINs counted towards it outlive a restart.
TEST_F(MailCommandPoll, LockOutIsKeptAcrossARestart) {
  const std::string file = dir_.File("data/mailbox/front/handled");
  for (int run = 0; run < 3; ++run) {
    MonitorMail restarted;
    restarted.SetArmControl(&arm_);
    restarted.SetHandledMailFile(file);
    // Two runs of wrong PINs lock; the third run still refuses the good one.
    std::vector<std::string> mails(run < 2 ? kMaxWrongPinsPerHour / 2 + 1 : 0, Owners("ARM 00000"));
    mails.push_back(Owners("ARM 73915"));
    for (const std::string& m : mails) pop_.AddMessage(m);
    const RequestCheckResult result = restarted.CheckRequestMail(ContextOfNow());
    for (const std::string& n : result.notices) notices_ += n + "\n";
    EXPECT_EQ(arm_.calls, run == 0 ? "arm;" : "") << run;
    arm_.calls.clear();
  }
  // The owner is told by mail, once, of the lock-out.
  const std::vector<std::string> subjects = NewMails();
  EXPECT_EQ(std::count_if(subjects.begin(), subjects.end(),
                          [](const std::string& s) { return s.rfind("メールでの操作を停止しました(", 0) == 0; }), 1);
  EXPECT_NE(notices_.find("1時間受け付けません"), std::string::npos) << notices_;
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// The state line joins the status report only where commands by mail are
// set up: mail filters may rely on the classic body.
TEST_F(MailCommandPoll, ReportSaysTheStateOnlyWithCommandsSet) {
  for (const char* pin : {kPin, ""}) {
    AppSettings.REMOTE_PIN = pin;
    Poll({Owners("hello")});
    ASSERT_EQ(NewMails().size(), 1u);
    const std::string body = ReadMail(dir_.File("msg-" + std::to_string(seen_) + ".eml"))["BODY"];
    EXPECT_EQ(body.find("現在の状態") != std::string::npos, *pin != '\0') << body;
  }
}

// The test alarm's mail is marked as a test in its subject and first line, with the picture of the moment.
TEST_F(MailCommandPoll, TestMailIsMarkedAsATest) {
  const cv::Mat picture(48, 64, CV_8UC3, cv::Scalar(20, 200, 20));
  EXPECT_TRUE(mail_.SendTestMail(ContextOfNow(picture)).sent);
  const std::vector<std::string> subjects = NewMails();
  ASSERT_EQ(subjects.size(), 1u);
  EXPECT_EQ(subjects[0].rfind("【テスト】テスト警報(", 0), 0u) << subjects[0];
  const std::string body = ReadMail(dir_.File("msg-" + std::to_string(seen_) + ".eml"))["BODY"];
  EXPECT_EQ(body.rfind("【テスト】これはテスト警報のメールです。", 0), 0u) << body;
  EXPECT_NE(raw_[0].find("recept.jpg"), std::string::npos);
  AppSettings.MAIL_PORTNUMBER = 1;  // nothing listens there
  EXPECT_FALSE(mail_.SendTestMail(ContextOfNow(picture)).sent);
}
