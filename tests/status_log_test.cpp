#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "mail/MailOutbox.h"
#include "monitor/MonitoringCycle.h"
#include "monitor/StatusLog.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"

namespace {
constexpr uint32_t kStart = 1000000;
constexpr uint32_t kTickMs = 10;
// 2026-12-07 13:00:00 UTC.
constexpr std::time_t kNoon = 1796648400;

// Mails that fail with the reason the test sets, or succeed without one.
class FailingMail : public RecordingMail {
public:
  using RecordingMail::RecordingMail;
  MailResult SendAlertMail(const MailContext& context) override {
    RecordingMail::SendAlertMail(context);
    return {failure.empty(), failure};
  }
  RequestCheckResult CheckRequestMail(const MailContext& context) override {
    RecordingMail::CheckRequestMail(context);
    return check;
  }
  std::string failure;
  RequestCheckResult check;
};

class StatusLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    AppSettings = typVardocam{};
    AppSettings.USEMAIL = true;
    AppSettings.START_MOVE_OBJECT = 3;
    AppSettings.CHECK_INTERVAL = 1;
    auto owned = std::make_unique<ScriptedCamera>(log);
    camera = owned.get();
    cycle.SetCamera(std::move(owned));
    cycle.AddEventListener(&status);
    status.OnChange = [this] { ++changes; };
  }
  void TearDown() override { AppSettings = typVardocam{}; }

  // One timer firing; the wall clock moves with the tick counter.
  void Tick(bool motion, uint32_t after = kTickMs) {
    clock.Advance(after);
    wallMs += after;
    camera->motion = motion;
    cycle.CaptureTimerTimer();
  }

  FakeClock clock{kStart};
  uint64_t wallMs = 0;
  CallLog log;
  FakeTimer timer;
  FakePump pump{log};
  RecordingSound sound{log};
  FailingMail mail{log};
  MonitoringCycle cycle{timer, pump, sound, mail};
  ScriptedCamera* camera = nullptr;
  StatusLog status{[this] { return kNoon + static_cast<std::time_t>(wallMs / 1000); }};
  int changes = 0;
};

TEST_F(StatusLogTest, WarmUpCountsDownThenWatchesAndStopSaysOff) {
  EXPECT_EQ(status.StatusText(), "監視停止中");
  EXPECT_EQ(status.MsUntilNextChange(), 0u);
  ASSERT_TRUE(cycle.StartMonitoring());
  EXPECT_EQ(status.StatusText(), "監視準備中（検出開始まであと 3 秒）");
  EXPECT_EQ(status.MsUntilNextChange(), 1u);
  Tick(false, 1);
  EXPECT_EQ(status.StatusText(), "監視準備中（検出開始まであと 3 秒）");
  EXPECT_EQ(status.MsUntilNextChange(), 1000u);
  Tick(false, 1000);
  EXPECT_EQ(status.StatusText(), "監視準備中（検出開始まであと 2 秒）");
  // The cycle counts detections only once the warm-up has strictly passed.
  Tick(false, 1999);
  EXPECT_EQ(status.StatusText(), "監視準備中（検出開始まであと 1 秒）");
  Tick(false, 1);
  EXPECT_EQ(status.StatusText(), "監視中");
  EXPECT_EQ(status.MsUntilNextChange(), 0u);
  cycle.StopMonitoring();
  EXPECT_EQ(status.StatusText(), "監視停止中");
  ASSERT_EQ(status.History().size(), 2u);
  EXPECT_EQ(StatusLog::FormatEntry(status.History()[0]),
            "2026/12/07 13:00:00  監視を開始しました（検出は 3 秒後から）");
  EXPECT_EQ(StatusLog::FormatEntry(status.History()[1]), "2026/12/07 13:00:03  監視を終了しました");
}

TEST_F(StatusLogTest, AlarmWithAMailThatFailsSaysWhyAndWhen) {
  AppSettings.START_MOVE_OBJECT = 0;
  mail.failure = "SMTPサーバ名が設定されていません。";
  ASSERT_TRUE(cycle.StartMonitoring());
  Tick(false);  // the reference
  changes = 0;
  Tick(true, 2000);
  EXPECT_GT(changes, 0);
  EXPECT_EQ(status.StatusText(),
            "監視中（警報中）　｜　最終検出 13:00:02　｜　警報メール 13:00:02 送信できませんでした："
            "SMTPサーバ名が設定されていません。");
  // Motion on every frame of the alarm is one history line with a count,
  // though the alarm's own lines come after it and it paused for longer
  // than kMotionQuietMs.
  Tick(true, 1000);
  Tick(true, 1000);
  mail.failure.clear();
  Tick(true, 3001);  // past the spacing: the next alert goes out
  EXPECT_EQ(status.StatusText(), "監視中（警報中）　｜　最終検出 13:00:07　｜　警報メール 13:00:07 送信しました");
  Tick(false, 5001);  // quiet: the alarm ends
  EXPECT_EQ(status.StatusText(), "監視中　｜　最終検出 13:00:07　｜　警報メール 13:00:07 送信しました");
  std::vector<std::string> lines;
  for (const StatusEntry& e : status.History()) lines.push_back(StatusLog::FormatEntry(e));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "2026/12/07 13:00:00  監視を開始しました",
                       "2026/12/07 13:00:02  動体を検出しました（4 回、最後 13:00:07）",
                       "2026/12/07 13:00:02  警報を開始しました",
                       "2026/12/07 13:00:02  警報メールを送信できませんでした：SMTPサーバ名が設定されていません。",
                       "2026/12/07 13:00:07  警報メールを送信しました",
                       "2026/12/07 13:00:12  警報を終了しました",
                   }));
  Tick(true);  // the next alarm's motion has a line of its own
  EXPECT_EQ(StatusLog::FormatEntry(status.History()[6]), "2026/12/07 13:00:12  動体を検出しました");
}

TEST_F(StatusLogTest, MailsSwitchedOffHeldBackOrFailingWithoutAReasonAreEachSaidAsSuch) {
  status.On(MonitorEvent::AlertMailDone(true, ""));
  AppSettings.USEMAIL = false;
  status.On(MonitorEvent::AlertMailDone(true, ""));
  AppSettings.USEMAIL = true;
  status.On(MonitorEvent::AlertMailDone(false, ""));
  status.On(MonitorEvent::AlertMailHeldBack(55));
  ASSERT_EQ(status.History().size(), 4u);
  EXPECT_EQ(status.History()[0].text, "警報メールを送信しました");
  EXPECT_EQ(status.History()[1].text, "警報メールは送らない設定です");
  EXPECT_EQ(status.History()[2].text, "警報メールを送信できませんでした：理由は分かりません");
  EXPECT_EQ(status.History()[3].text, "警報メールを見送りました（最短間隔まであと 55 秒）");
  EXPECT_EQ(status.StatusText(), "監視停止中　｜　警報メール 13:00:00 見送りました（最短間隔まであと 55 秒）");
}

// Every mail but a command's confirmation has its line; a failure, a health
// mail and a test's stay on the status line, a summary that went does not.
TEST_F(StatusLogTest, EachKindOfMailIsSaidOnceAsItWent) {
  using M = MonitorEvent;
  const struct { M event; const char* line; bool onStatusLine; } rows[] = {
      {M::MailDone(MailKind::Summary, true, ""), "イベントのまとめメールを送信しました", false},
      {M::MailDone(MailKind::Summary, false, "down"), "イベントのまとめメールを送信できませんでした：down", true},
      {M::MailDone(MailKind::Health, true, "", "映像が途絶えました"), "「映像が途絶えました」をメールで知らせました", true},
      {M::MailDone(MailKind::Test, false, ""), "テスト警報: 警報メールを送信できませんでした：理由は分かりません", true},
      {M::MailDone(MailKind::Confirmation, true, ""), "", false},
      {M::AlertMailHeldForEvent(), "警報メールを見送りました（同じイベントの警報メールは送信済み）", false},
      {M::TestAlarmStep("テスト警報: 警報音は鳴らさない設定です", true), "テスト警報: 警報音は鳴らさない設定です", true},
  };
  for (const auto& row : rows) {
    StatusLog log([] { return std::time_t{0}; });
    log.On(row.event);
    ASSERT_EQ(log.History().size(), *row.line ? 1u : 0u) << row.line;
    if (!*row.line) continue;
    EXPECT_EQ(log.History()[0].text, row.line);
    EXPECT_EQ(log.StatusText().find(row.line) != std::string::npos, row.onStatusLine) << row.line;
  }
}

TEST_F(StatusLogTest, MailboxChecksReportRequestsNothingOrTheFailure) {
  AppSettings.IS_CHECK = true;
  ASSERT_TRUE(cycle.StartMonitoring());
  mail.check = {true, 2, ""};
  Tick(false, 60001);
  EXPECT_EQ(status.StatusText(), "監視中　｜　受信確認 13:01:00 要求 2 件に応答");
  mail.check = {true, 0, ""};
  Tick(false, 60001);
  Tick(false, 60001);
  EXPECT_EQ(status.StatusText(), "監視中　｜　受信確認 13:03:00 要求なし");
  mail.check = {false, 0, "POP3サーバとの接続に失敗しました。"};
  Tick(false, 60001);
  EXPECT_EQ(status.StatusText(), "監視中　｜　受信確認 13:04:00 失敗：POP3サーバとの接続に失敗しました。");
  // An error after the login leaves the tick; the listener heard it first.
  mail.onCheck = [] { throw std::runtime_error("-ERR 壊れています"); };
  EXPECT_THROW(Tick(false, 60001), std::runtime_error);
  EXPECT_EQ(status.StatusText(), "監視中　｜　受信確認 13:05:00 失敗：-ERR 壊れています");
  ASSERT_EQ(status.History().size(), 5u);
  EXPECT_EQ(StatusLog::FormatEntry(status.History()[1]),
            "2026/12/07 13:01:00  調査要求メール 2 件に状況報告を送りました");
  EXPECT_EQ(StatusLog::FormatEntry(status.History()[2]),
            "2026/12/07 13:02:00  調査要求メールはありませんでした（2 回、最後 13:03:00）");
}

// Commands handled are no "nothing found"; the line and the history say what the poll found.
TEST_F(StatusLogTest, APollSaysNothingFoundOnlyWhenItFoundNothing) {
  const struct { int requests, commands; const char* result; const char* line; } rows[] = {
      {0, 2, "操作 2 件", "操作メール 2 件を処理しました"},
      {1, 1, "要求 1 件に応答、操作 1 件", "調査要求メール 1 件に状況報告を送り、操作メール 1 件を処理しました"},
      {0, 0, "要求なし", "調査要求メールはありませんでした"},
  };
  AppSettings.IS_CHECK = true;
  AppSettings.START_MOVE_OBJECT = 0;
  ASSERT_TRUE(cycle.StartMonitoring());
  int minute = 0;
  for (const auto& row : rows) {
    mail.check = {true, row.requests, "", row.commands};
    Tick(false, 60001);
    EXPECT_EQ(status.StatusText(), "監視中　｜　受信確認 13:0" + std::to_string(++minute) + ":00 " + row.result);
    EXPECT_EQ(status.History().back().text, row.line);
  }
}

// Who switched monitoring is on the line, a button too; the history only what is news.
TEST_F(StatusLogTest, TheLineSaysWhoSwitchedMonitoringAButtonToo) {
  const struct { ArmState arm; const char* text; bool inHistory; } rows[] = {
      {{true, ArmedBy::Button, 0}, "監視中　｜　ボタン操作による", false},
      {{false, ArmedBy::Button, 0}, "監視停止中　｜　ボタン操作による", false},
      {{true, ArmedBy::Schedule, kNoon + 5 * 3600}, "監視中　｜　予定による、18:00 まで", true},
      {{true, ArmedBy::MailCommand, 0}, "監視中　｜　メールでの指示による", true},
      {{false, ArmedBy::Nobody, 0}, "監視停止中", false},
  };
  AppSettings.START_MOVE_OBJECT = 0;
  for (const auto& row : rows) {
    ASSERT_TRUE(!row.arm.armed || cycle.StartMonitoring());
    if (row.arm.armed) Tick(false, 1);
    else cycle.StopMonitoring();
    const size_t before = status.History().size();
    status.On(MonitorEvent::ArmChanged(row.arm));
    EXPECT_EQ(status.StatusText(), row.text);
    EXPECT_EQ(status.History().size() - before, row.inHistory ? 1u : 0u) << row.text;
  }
}

TEST_F(StatusLogTest, CameraLossShowsUntilTheFramesComeBack) {
  AppSettings.START_MOVE_OBJECT = 0;
  ASSERT_TRUE(cycle.StartMonitoring());
  Tick(false, 1);
  status.On(MonitorEvent::CameraLost());
  EXPECT_EQ(status.StatusText(), "監視中（カメラの映像が届いていません）");
  status.On(MonitorEvent::CameraBack());
  EXPECT_EQ(status.StatusText(), "監視中");
}

// The broker's state is on the line while one is set, each change in the
// history; a camera with a name of its own says it first.
TEST_F(StatusLogTest, BrokerStateAndTheCamerasNameShowOnTheLine) {
  status.On(MonitorEvent::BrokerChanged(false, "MQTTブローカー 127.0.0.1:1 に接続できません"));
  EXPECT_EQ(status.StatusText(), "監視停止中") << "no broker set, nothing said";
  AppSettings.MQTT_HOSTNAME = "127.0.0.1";
  EXPECT_EQ(status.StatusText(), "監視停止中　｜　MQTT 未接続");
  status.On(MonitorEvent::BrokerChanged(true, "127.0.0.1:1883"));
  AppSettings.CAMERA_NAME = "玄関";
  EXPECT_EQ(status.StatusText(), "玄関　｜　監視停止中　｜　MQTT 接続中");
  ASSERT_EQ(status.History().size(), 2u);
  EXPECT_EQ(status.History()[0].text, "MQTTブローカー 127.0.0.1:1 に接続できません");
  EXPECT_EQ(status.History()[1].text, "MQTTブローカーに接続しました（127.0.0.1:1883）");
  EXPECT_EQ(changes, 2);
}

TEST_F(StatusLogTest, AMaskThatCannotBeReadIsSaidUntilTheNextStart) {
  AppSettings.START_MOVE_OBJECT = 0;
  AppSettings.MASK_FILE = "/nonexistent/mask.png";
  ASSERT_TRUE(cycle.StartMonitoring());
  Tick(false, 1);
  Tick(false, 1);
  EXPECT_NE(status.StatusText().find("マスク画像「/nonexistent/mask.png」を読み込めません"), std::string::npos);
  size_t said = 0;
  for (const StatusEntry& entry : status.History()) said += entry.text.find("マスク画像") != std::string::npos;
  EXPECT_EQ(said, 1u);
  cycle.StopMonitoring();
  AppSettings.MASK_FILE.clear();
  ASSERT_TRUE(cycle.StartMonitoring());
  Tick(false, 1);
  EXPECT_EQ(status.StatusText().find("マスク画像"), std::string::npos);
}

// A failed mail that was kept shows until the outbox has sent it; other
// notices stay.
TEST_F(StatusLogTest, AKeptMailsFailureGoesOnceTheOutboxIsEmpty) {
  ASSERT_TRUE(cycle.StartMonitoring());
  const std::pair<std::string, bool> rows[] = {
      {std::string("イベントのまとめメールを送信できませんでした：接続できません（") + kResendLaterWords + "）", true},
      {"マスク画像を読み込めません", false}};
  for (const auto& [notice, cleared] : rows) {
    status.On(MonitorEvent::Notice(notice));
    status.On(MonitorEvent::MailQueueChanged(1));
    EXPECT_NE(status.StatusText().find(notice), std::string::npos);
    status.On(MonitorEvent::MailQueueChanged(0));
    EXPECT_EQ(status.StatusText().find(notice) == std::string::npos, cleared) << notice;
  }
}

// An outbox sent off mail by mail is one history line that counts down,
// not a line a mail; anything in between starts a new one.
TEST_F(StatusLogTest, AQueueSentOffMailByMailIsOneLine) {
  for (int waiting : {3, 2, 1, 0}) status.On(MonitorEvent::MailQueueChanged(waiting));
  status.On(MonitorEvent::Notice("x"));
  status.On(MonitorEvent::MailQueueChanged(1));
  ASSERT_EQ(status.History().size(), 3u);
  EXPECT_EQ(status.History()[0].text, "未送信メールはすべて送信しました");
  EXPECT_EQ(status.History()[2].text, "未送信メール 1 通");
}

TEST_F(StatusLogTest, ANewStartForgetsTheLastRunsDetectionPersonAndMail) {
  ASSERT_TRUE(cycle.StartMonitoring());
  Tick(false, 3001);
  Tick(true);
  status.On(MonitorEvent::PersonDetected(MotionRegion{}));
  cycle.StopMonitoring();
  EXPECT_NE(status.StatusText().find("最終検出"), std::string::npos);
  ASSERT_TRUE(cycle.StartMonitoring());
  EXPECT_EQ(status.StatusText(), "監視準備中（検出開始まであと 3 秒）");
}

TEST_F(StatusLogTest, HistoryKeepsTheNewestUpToItsLimit) {
  for (size_t i = 0; i < kStatusHistoryLimit + 5; ++i) {
    // Alternating events: nothing merges.
    if (i % 2 == 0)
      status.On(MonitorEvent::AlarmStarted());
    else
      status.On(MonitorEvent::AlarmEnded());
    wallMs += 1000;
  }
  ASSERT_EQ(status.History().size(), kStatusHistoryLimit);
  // The five oldest went; the newest is the last one added.
  EXPECT_EQ(status.History().front().first, kNoon + 5);
  EXPECT_EQ(status.History().back().first, kNoon + static_cast<std::time_t>(kStatusHistoryLimit + 4));
  EXPECT_EQ(status.History().back().text, "警報を開始しました");
  // A motion's line that dropped off is not counted on any more: more of
  // that motion starts a new one.
  status.On(MonitorEvent::AlarmEnded());
  status.On(MonitorEvent::MotionDetected({}));
  for (size_t i = 0; i < kStatusHistoryLimit; ++i) status.On(MonitorEvent::Notice(i % 2 ? "一" : "二"));
  status.On(MonitorEvent::MotionDetected({}));
  EXPECT_EQ(status.History().size(), kStatusHistoryLimit);
  EXPECT_EQ(status.History().back().text, "動体を検出しました");
  EXPECT_EQ(status.History().back().count, 1);
}
} // namespace
