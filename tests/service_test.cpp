#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/MonitoringCycle.h"
#include "monitor/MotionEpisode.h"
#include "platform/SingleInstance.h"
#include "service/CommandLine.h"
#include "service/HeadlessService.h"
#include "session/ArmController.h"
#include "service/JournalLog.h"
#include "service/ServiceUnit.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/TempDir.h"

namespace {
CommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "vardocam");
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineTest, OwnOptionsInBothSpellingsAndNothingThatCannotBeMeant) {
  const CommandLine none = Parse({"-platform", "offscreen"});  // Qt's own pass on a window
  EXPECT_FALSE(none.headless);
  EXPECT_EQ(none.profile, "");
  EXPECT_EQ(none.error, "");
  const CommandLine line = Parse({"--profile=玄関", "--headless"});
  EXPECT_TRUE(line.headless);
  EXPECT_EQ(line.profile, "玄関");
  EXPECT_EQ(Parse({"--headless", "--profile", "front"}).profile, "front");
  EXPECT_NE(Parse({"--profile"}).error, "");
  EXPECT_NE(Parse({"--profile", "a", "--profile=b"}).error, "");
  EXPECT_NE(Parse({"--headless", "extra"}).error, "");
  EXPECT_NE(Parse({"--profile", "../etc"}).error, "");
  EXPECT_NE(Parse({"--headles"}).error, "") << "a mistyped option must not open the window";
  EXPECT_TRUE(Parse({"--help"}).help);
  EXPECT_TRUE(Parse({"-h", "--headless"}).help);
  EXPECT_TRUE(Parse({"--version"}).version);
  // Stray words and single-dash options that are not Qt's get the usage too.
  for (const std::vector<const char*>& stray : {std::vector<const char*>{"-v"}, {"-x"}, {"foo"}, {"-platform"},
                                                 {"-style", "fusion", "bar"}, {"--headless", "-reverse"}})
    EXPECT_NE(Parse(stray).error, "") << stray[0];
  for (const std::vector<const char*>& qt : {std::vector<const char*>{"-style=fusion", "-reverse"},
                                             {"-qwindowtitle", "front door", "--profile", "a"}})
    EXPECT_EQ(Parse(qt).error, "") << qt[0];
}

// The advice names the unit as systemctl finds it: a name systemd escapes
// goes through systemd-escape, quoted for the shell.
TEST(ServiceUnit, AdviceNamesTheUnitAsSystemdEscapesIt) {
  const std::pair<const char*, const char*> rows[] = {
      {"front", "systemctl --user stop vardocam@front"},
      {"玄関 カメラ", "systemctl --user stop \"vardocam@$(systemd-escape '玄関 カメラ')\""},
      {"door-2", "systemctl --user stop \"vardocam@$(systemd-escape 'door-2')\""},
      {"it's", "systemctl --user stop \"vardocam@$(systemd-escape 'it'\\''s')\""},
  };
  for (const auto& [profile, command] : rows) EXPECT_EQ(ServiceCommand("stop", profile), command) << profile;
  EXPECT_EQ(SystemdEscape("玄関 カメラ"), "\\xe7\\x8e\\x84\\xe9\\x96\\xa2\\x20\\xe3\\x82\\xab\\xe3\\x83\\xa1\\xe3\\x83\\xa9");
  EXPECT_EQ(SystemdEscape(".a/b-c"), "\\x2ea-b\\x2dc");
}

TEST(ProfileName, RejectsPathsControlCharactersAndOverlongNames) {
  std::string why;
  EXPECT_TRUE(ValidProfileName("front-door_2", &why));
  EXPECT_TRUE(ValidProfileName("玄関", &why));
  EXPECT_TRUE(ValidProfileName(std::string(kMaxProfileNameBytes, 'a'), &why));
  for (const std::string& bad : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                 std::string("a\\b"), std::string("a\nb"), std::string("tab\t"),
                                 std::string("del\x7f"), std::string(kMaxProfileNameBytes + 1, 'a')}) {
    why.clear();
    EXPECT_FALSE(ValidProfileName(bad, &why)) << bad;
    EXPECT_FALSE(why.empty());
  }
}

TEST(ProfileName, NamesItsOwnStoreAndLockBesideTheDefaultOnes) {
  TempDir dir;
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1), 0);
  EXPECT_EQ(SettingsFilePathFor(""), dir.Path() + "/Korvane/Vardocam.reg");
  EXPECT_EQ(SettingsFilePathFor("front"), dir.Path() + "/Korvane/Vardocam-front.reg");
  EXPECT_EQ(SingleInstance::LockNameFor("_x", ""), "_x");
  EXPECT_EQ(SingleInstance::LockNameFor("_x", "front"), "_x@front");

  // A profile's save and load touch its own file only.
  SetSettingsProfile("");
  AppSettings = typVardocam{};
  LoadSettings();
  AppSettings.MOVEBORDER = 7;
  ASSERT_TRUE(SaveSettings());
  SetSettingsProfile("front");
  EXPECT_EQ(SettingsFilePath(), dir.Path() + "/Korvane/Vardocam-front.reg");
  LoadSettings();
  EXPECT_EQ(AppSettings.MOVEBORDER, 4) << "a new profile starts from the defaults";
  AppSettings.MOVEBORDER = 9;
  AppSettings.MQTT_HOSTNAME = "broker";
  ASSERT_TRUE(SaveSettings());
  SetSettingsProfile("");
  LoadSettings();
  EXPECT_EQ(AppSettings.MOVEBORDER, 7);
  EXPECT_EQ(AppSettings.MQTT_HOSTNAME, "");
  EXPECT_EQ(AppSettings.MQTT_PORTNUMBER, 1883);
  SetSettingsProfile("front");
  LoadSettings();
  EXPECT_EQ(AppSettings.MOVEBORDER, 9);
  EXPECT_EQ(AppSettings.MQTT_HOSTNAME, "broker");
  SetSettingsProfile("");
  AppSettings = typVardocam{};
  unsetenv("XDG_CONFIG_HOME");
}

TEST(Journal, OneLinePerEventWithItsPriority) {
  FakeClock clock(5000);
  std::ostringstream out;
  JournalLog log(out);
  AppSettings = typVardocam{};
  AppSettings.USEMAIL = true;
  log.On(MonitorEvent::MonitoringStarted(60000));
  log.On(MonitorEvent::MotionDetected({}));
  clock.Advance(kMotionQuietMs);
  log.On(MonitorEvent::MotionDetected({}));  // still the same motion
  log.On(MonitorEvent::AlarmStarted());
  log.On(MonitorEvent::AlertMailDone(false, "SMTPサーバとの接続に失敗しました。\n理由: 10061"));
  log.On(MonitorEvent::AlertMailDone(true, ""));
  log.On(MonitorEvent::AlertMailHeldBack(55));
  log.On(MonitorEvent::AlarmEnded());
  clock.Advance(kMotionQuietMs + 1);
  log.On(MonitorEvent::MotionDetected({{300, 200, 32, 48, 1200}, {10, 10, 16, 16, 200}}));  // a new one, and where
  log.On(MonitorEvent::PersonDetected({296, 190, 40, 96, 0}));
  log.On(MonitorEvent::MotionWithoutPerson());
  log.On(MonitorEvent::RequestCheckDone(true, 2, ""));
  log.On(MonitorEvent::RequestCheckDone(true, 0, ""));
  log.On(MonitorEvent::RequestCheckDone(true, 0, "", 2));
  log.On(MonitorEvent::RequestCheckDone(false, 0, "POP3サーバに接続できません"));
  log.On(MonitorEvent::CameraLost());
  log.On(MonitorEvent::CameraBack());
  log.On(MonitorEvent::Notice("マスク画像を読み込めません"));
  AppSettings.USEMAIL = false;  // switched off: said once per run, never "sent"
  log.On(MonitorEvent::AlertMailDone(true, ""));
  log.On(MonitorEvent::AlertMailDone(true, ""));
  log.On(MonitorEvent::MonitoringStopped());
  log.On(MonitorEvent::MonitoringStarted(0));
  log.On(MonitorEvent::AlertMailDone(true, ""));
  AppSettings = typVardocam{};
  log.SetCameraName("玄関");
  log.On(MonitorEvent::BrokerChanged(false, "MQTTブローカー 127.0.0.1:1 に接続できません"));
  EXPECT_EQ(out.str(),
            "<6>監視を開始しました (検出は 60 秒後から)\n"
            "<6>動体を検出しました\n"
            "<5>警報を開始しました\n"
            "<4>警報メールを送信できませんでした: SMTPサーバとの接続に失敗しました。 理由: 10061\n"
            "<6>警報メールを送信しました\n"
            "<6>警報メールを見送りました (最短間隔まであと 55 秒)\n"
            "<6>警報を終了しました\n"
            "<6>動体を検出しました (位置 300,200 32×48 ほか 1 か所)\n"
            "<5>人物を検知しました (位置 296,190 40×96)\n"
            "<6>動きあり・人物なし\n"
            "<6>調査要求メール 2 件に状況報告を送りました\n"
            "<6>調査要求メールはありませんでした\n"
            "<6>操作メール 2 件を処理しました\n"
            "<4>受信メールの確認に失敗しました: POP3サーバに接続できません\n"
            "<4>カメラから映像が届きません (再接続を続けます)\n"
            "<6>カメラの映像が戻りました\n"
            "<4>マスク画像を読み込めません\n"
            "<6>警報メールは送らない設定です\n"
            "<6>監視を終了しました\n"
            "<6>監視を開始しました (検出は 0 秒後から)\n"
            "<6>警報メールは送らない設定です\n"
            "<4>[玄関] MQTTブローカー 127.0.0.1:1 に接続できません\n");
}

TEST(HeadlessCamera, RetryWaitDoublesFromTheFirstUpToTheCeiling) {
  for (const auto& [wait, next] : std::vector<std::pair<uint32_t, uint32_t>>{
           {0, kCameraRetryFirstMs}, {kCameraRetryFirstMs, 2 * kCameraRetryFirstMs},
           {kCameraRetryMaxMs / 2 + 1, kCameraRetryMaxMs}, {UINT32_MAX, kCameraRetryMaxMs}})
    EXPECT_EQ(NextCameraRetryWait(wait), next) << wait;
}

TEST(Journal, MotionEpisodeEndsOnceAfterTheQuietTime) {
  MotionEpisode episode;
  EXPECT_FALSE(episode.Ended(100));
  EXPECT_TRUE(episode.Detected(100));
  EXPECT_FALSE(episode.Detected(100 + kMotionQuietMs));
  EXPECT_FALSE(episode.Ended(100 + 2 * kMotionQuietMs));
  EXPECT_TRUE(episode.Ended(101 + 2 * kMotionQuietMs));
  EXPECT_FALSE(episode.Ended(102 + 2 * kMotionQuietMs));
  // Across the counter's wrap.
  EXPECT_TRUE(episode.Detected(0xFFFFFF00u));
  EXPECT_FALSE(episode.Ended(0x00000100u));
  EXPECT_TRUE(episode.Ended(0xFFFFFF00u + kMotionQuietMs + 1));
}

class Recorder : public IMonitorEvents {
public:
  void On(const MonitorEvent& event) override {
    if (event.kind == MonitorEvent::Kind::CameraLost) events.push_back("lost");
    if (event.kind == MonitorEvent::Kind::CameraBack) events.push_back("back");
  }
  std::vector<std::string> events;
};

// A monitoring cycle on fake time with fakes for all it drives, and the
// settings back to their defaults before and after.
class FakeCycleTest : public ::testing::Test {
protected:
  FakeCycleTest() { AppSettings = typVardocam{}; }
  ~FakeCycleTest() override { AppSettings = typVardocam{}; }

  FakeClock clock{1000000};
  CallLog calls;
  FakeTimer timer;
  FakePump pump{calls};
  RecordingSound sound{calls};
  RecordingMail mail{calls};
  MonitoringCycle cycle{timer, pump, sound, mail};
};
using CameraWatch = FakeCycleTest;
using HeadlessTickError = FakeCycleTest;

TEST_F(CameraWatch, NoFrameForTheNamedTimeIsLostOnceAndTheNextFrameIsBack) {
  AppSettings.START_MOVE_OBJECT = 0;
  AppSettings.CHECK_INTERVAL = 1000;
  auto owned = std::make_unique<ScriptedCamera>(calls);
  ScriptedCamera* camera = owned.get();
  cycle.SetCamera(std::move(owned));
  Recorder recorder;
  cycle.AddEventListener(&recorder);
  ASSERT_TRUE(cycle.StartMonitoring());
  cycle.CaptureTimerTimer();
  camera->newFrame = false;
  clock.Advance(kCameraLostMs);
  cycle.CaptureTimerTimer();
  EXPECT_TRUE(recorder.events.empty()) << "not yet: exactly the named time";
  clock.Advance(1);
  cycle.CaptureTimerTimer();
  clock.Advance(kCameraLostMs * 3);
  cycle.CaptureTimerTimer();
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"lost"}));
  camera->newFrame = true;
  cycle.CaptureTimerTimer();
  cycle.CaptureTimerTimer();
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"lost", "back"}));
  // A new start counts from itself, not from the last frame before it.
  cycle.StopMonitoring();
  camera->newFrame = false;
  clock.Advance(kCameraLostMs * 2);
  ASSERT_TRUE(cycle.StartMonitoring());
  cycle.CaptureTimerTimer();
  EXPECT_EQ(recorder.events.size(), 2u);
}

// A mailbox that fails after the login throws out of the tick; without a
// window the next check waits its interval instead of following at once.
TEST_F(HeadlessTickError, IsLoggedAndTheRequestCheckWaitsItsInterval) {
  AppSettings.IS_CHECK = true;
  AppSettings.CHECK_INTERVAL = 1;
  mail.onCheck = [] { throw std::runtime_error("POP3: -ERR mailbox locked"); };
  cycle.SetCamera(std::make_unique<ScriptedCamera>(calls));
  std::ostringstream out;
  JournalLog log(out);
  ASSERT_TRUE(cycle.StartMonitoring());
  clock.Advance(60001);
  EXPECT_THROW(cycle.CaptureTimerTimer(), std::runtime_error);
  // What the session does with a tick's error: the check waits, the journal says it.
  cycle.PostponeRequestCheck();
  log.On(MonitorEvent::TickFailed("POP3: -ERR mailbox locked"));
  EXPECT_EQ(out.str(), "<3>監視処理でエラーが発生しました: POP3: -ERR mailbox locked\n");
  clock.Advance(10);
  cycle.CaptureTimerTimer();
  EXPECT_EQ(mail.checks, 1) << "not again on the next tick";
  clock.Advance(60000);
  EXPECT_THROW(cycle.CaptureTimerTimer(), std::runtime_error);
  EXPECT_EQ(mail.checks, 2);
}
} // namespace
