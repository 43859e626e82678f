#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "service/StopSignals.h"
#include "support/ChildProcess.h"
#include "support/HeadlessRun.h"
#include "support/MqttPeer.h"
#include "support/ScriptedServer.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"

namespace {
// Generous for a 2-core machine shared with compilers.
constexpr int kMailLimitMs = 40000;
constexpr int kExitLimitMs = 5000;
constexpr int kStartLimitMs = 20000;

bool LogHas(const HeadlessFolders& folders, const std::string& log, const std::string& text) {
  return folders.Log(log).find(text) != std::string::npos;
}

class HeadlessProgram : public ::testing::Test {
protected:
  void SetUp() override {
    video_ = folders_.work.File("motion.avi");
    ASSERT_TRUE(MakeMotionVideo(video_, "0x000000", 320, 240, 6));
  }
  HeadlessFolders folders_;
  std::string video_;
};

TEST_F(HeadlessProgram, MailsMotionWithoutADisplayAndEndsCleanlyOnSigterm) {
  TempDir mailDir;
  SmtpPeer smtp("plain", mailDir.Path());
  ASSERT_TRUE(smtp.Running());
  MqttBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  auto settings = MotionMailSettings(video_, smtp.Port());
  char port[16];
  std::snprintf(port, sizeof port, "dword:%08x", static_cast<unsigned>(broker.Port()));
  settings.push_back({"MQTT_HOSTNAME", "\"127.0.0.1\""});
  settings.push_back({"MQTT_PORTNUMBER", port});
  folders_.WriteSettings("", settings);
  const std::string settingsBefore = ReadFileBytes(folders_.SettingsPath(""));

  ChildProcess program({VARDOCAM_PROGRAM, "--headless"}, folders_.Options("run.log"));
  ASSERT_TRUE(WaitFor(kMailLimitMs, [&] { return !ReceivedMails(mailDir.Path()).empty() || !program.Running(); }))
      << folders_.Log("run.log");
  ASSERT_TRUE(program.Running()) << folders_.Log("run.log");
  ASSERT_TRUE(WaitFor(kMailLimitMs, [&] { return LogHas(folders_, "run.log", "警報メールを送信しました"); }));

  kill(program.Pid(), SIGTERM);
  EXPECT_EQ(program.Wait(kExitLimitMs), std::optional<int>(0));
  // The broker keeps monitoring "OFF" for whoever asks after the end.
  MqttRecorder late(broker.Port(), "vardocam/#");
  EXPECT_TRUE(late.WaitFor("vardocam/default/monitoring", "OFF"));
  EXPECT_TRUE(late.WaitFor("vardocam/default/availability", "offline"));
  const std::string log = folders_.Log("run.log");
  EXPECT_NE(log.find("<6>監視を開始しました"), std::string::npos) << log;
  EXPECT_NE(log.find("<6>動体を検出しました"), std::string::npos) << log;
  EXPECT_NE(log.find("<5>警報を開始しました"), std::string::npos) << log;
  EXPECT_NE(log.find("<6>監視を終了しました"), std::string::npos) << log;
  EXPECT_NE(log.find("<6>終了しました"), std::string::npos) << log;
  // Journal-friendly: every line carries its priority, Qt's and OpenCV's too.
  EXPECT_TRUE(UnprefixedLines(log).empty()) << log;
  // No sound server: said once, however many alarms there were.
  EXPECT_EQ(CountOccurrences(log, "音声出力装置がない"), 1) << log;
  EXPECT_EQ(log.find("PulseAudio"), std::string::npos) << "the library's own line, untranslated";
  EXPECT_EQ(ReadFileBytes(folders_.SettingsPath("")), settingsBefore);
  const std::vector<double> mean = AttachedPictureMean(ReceivedMails(mailDir.Path()).front());
  EXPECT_GE(mean[0], 0.0) << "the alert mail carries the camera picture";
}

// Where the machine has a sound output, the alarm is heard without a window.
TEST_F(HeadlessProgram, AlarmSoundPlaysWhereThereIsAnOutput) {
  constexpr double kAudibleRms = 500.0;
  constexpr size_t kBytesPerHalfSecond = 22050;  // 16-bit mono at 22050 Hz
  std::filesystem::copy_file(std::string(VARDOCAM_SOURCE_DIR) + "/assets/Alarm.wav",
                             folders_.work.File("Alarm.wav"));
  auto settings = MotionMailSettings(video_, "1");
  settings.push_back({"USEMAIL", "dword:00000000"});
  settings.push_back({"SOUND", "\"" + folders_.work.File("Alarm.wav") + "\""});
  folders_.WriteSettings("", settings);
  TempDir soundFolder;
  NullSoundServer pulse(soundFolder.Path());
  ASSERT_TRUE(pulse.Ok()) << ReadFileBytes(soundFolder.File("pulseaudio.log"));
  ChildProcess::Options recordOptions;
  recordOptions.env = {{"PULSE_SERVER", pulse.Address()}};
  const std::string recording = soundFolder.File("recorded.raw");
  ChildProcess recorder({"parec", "-d", "dummy.monitor", "--raw", "--format=s16le", "--rate=22050",
                         "--channels=1", recording},
                        recordOptions);
  ChildProcess::Options options = folders_.Options("run.log");
  options.env["PULSE_SERVER"] = pulse.Address();
  ChildProcess program({VARDOCAM_PROGRAM, "--headless"}, options);
  const bool heard = WaitFor(kMailLimitMs, [&] {
    const std::string samples = ReadFileBytes(recording);
    return samples.size() >= kBytesPerHalfSecond &&
           RootMeanSquare(samples.substr(samples.size() - kBytesPerHalfSecond)) > kAudibleRms;
  });
  EXPECT_TRUE(heard) << folders_.Log("run.log");
  EXPECT_FALSE(LogHas(folders_, "run.log", "音声出力装置がない")) << folders_.Log("run.log");
  kill(program.Pid(), SIGTERM);
  EXPECT_EQ(program.Wait(kExitLimitMs), std::optional<int>(0));
  recorder.Stop();
}

// A mail server that accepts and never answers holds only the mail worker:
// the stop cancels the exchange and ends in order, well before its deadline.
TEST_F(HeadlessProgram, StopInsideAHangingMailExchangeEndsInOrderBeforeTheDeadline) {
  ScriptedServer silent;
  silent.Pause(kExitLimitMs + static_cast<int>(kStopDeadlineMs));
  silent.Start();
  folders_.WriteSettings("", MotionMailSettings(video_, silent.Port()));
  ChildProcess program({VARDOCAM_PROGRAM, "--headless"}, folders_.Options("run.log"));
  ASSERT_TRUE(WaitFor(kMailLimitMs, [&] { return LogHas(folders_, "run.log", "警報を開始しました"); }))
      << folders_.Log("run.log");

  const auto signalled = std::chrono::steady_clock::now();
  kill(program.Pid(), SIGTERM);
  EXPECT_EQ(program.Wait(kExitLimitMs), std::optional<int>(0));
  const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - signalled).count();
  EXPECT_LT(tookMs, static_cast<long>(kStopDeadlineMs));
  EXPECT_FALSE(LogHas(folders_, "run.log", "終了処理が時間内に終わらない")) << folders_.Log("run.log");
  EXPECT_TRUE(LogHas(folders_, "run.log", "終了しました")) << folders_.Log("run.log");
}

TEST_F(HeadlessProgram, FailedStartsEndAtOnceWithTheirExitCodes) {
  ChildProcess usage({VARDOCAM_PROGRAM, "--headless", "--profile", "a/b"}, folders_.Options("usage.log"));
  EXPECT_EQ(usage.Wait(kExitLimitMs), std::optional<int>(2));
  EXPECT_TRUE(LogHas(folders_, "usage.log", "使い方")) << folders_.Log("usage.log");
  EXPECT_TRUE(std::filesystem::is_empty(folders_.runtime.Path())) << "no lock taken";
}

// A camera that is not there is tried again after growing waits, each
// growth said with the address; one that comes is monitored, and a stop
// ends the wait at once, not at the stop deadline.
TEST_F(HeadlessProgram, AMissingCameraIsTriedAgainUntilItComes) {
  const std::string later = folders_.work.File("later.avi");
  // The broker hears of the missing camera while it is waited for.
  MqttBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  auto settings = MotionMailSettings(later, "1");
  char port[16];
  std::snprintf(port, sizeof port, "dword:%08x", static_cast<unsigned>(broker.Port()));
  settings.push_back({"MQTT_HOSTNAME", "\"127.0.0.1\""});
  settings.push_back({"MQTT_PORTNUMBER", port});
  folders_.WriteSettings("", settings);
  for (const bool comes : {true, false}) {
    const std::string name = comes ? "comes.log" : "stopped.log";
    MqttRecorder recorder(broker.Port(), "vardocam/default/#");
    ASSERT_TRUE(recorder.Subscribed());
    ChildProcess program({VARDOCAM_PROGRAM, "--headless"}, folders_.Options(name));
    ASSERT_TRUE(WaitFor(kStartLimitMs, [&] { return LogHas(folders_, name, "2 秒後に再試行します"); }))
        << folders_.Log(name);
    EXPECT_TRUE(recorder.WaitFor("vardocam/default/availability", "online", kStartLimitMs));
    EXPECT_TRUE(recorder.WaitFor("vardocam/default/camera", "lost", kStartLimitMs));
    if (comes) {
      std::filesystem::copy_file(video_, later);
      EXPECT_TRUE(WaitFor(kStartLimitMs, [&] { return LogHas(folders_, name, "<6>監視を開始しました"); }));
      EXPECT_TRUE(recorder.WaitFor("vardocam/default/camera", "ok", kStartLimitMs));
    }
    kill(program.Pid(), SIGTERM);
    EXPECT_EQ(program.Wait(kExitLimitMs), std::optional<int>(0));
    const std::string log = folders_.Log(name);
    EXPECT_EQ(CountOccurrences(log, "<3>カメラの接続に失敗しました。 機器の接続などを確認してください。 接続先: 映像アドレス " +
                                        later + " (1 秒後に再試行します)"), 1) << log;
    EXPECT_EQ(CountOccurrences(log, "接続先: 映像アドレス " + later + " (2 秒後に再試行します)"), 1) << log;
    EXPECT_EQ(CountOccurrences(log, "<6>カメラに接続しました: 映像アドレス " + later), comes ? 1 : 0) << log;
    EXPECT_EQ(CountOccurrences(log, "時間内に終わらない"), 0) << log;
    std::filesystem::remove(later);
  }
}

// Two cameras, two processes: each mails its own picture; a second start
// of a running profile ends at once and leaves the first alone.
TEST(HeadlessProfiles, TwoProfilesSideBySideMailTheirOwnCameras) {
  HeadlessFolders folders;
  const std::string redVideo = folders.work.File("red.avi");
  const std::string blueVideo = folders.work.File("blue.avi");
  ASSERT_TRUE(MakeMotionVideo(redVideo, "0xc00000", 320, 240, 6));
  ASSERT_TRUE(MakeMotionVideo(blueVideo, "0x0000c0", 320, 240, 6));
  TempDir frontMail, backMail;
  SmtpPeer frontSmtp("plain", frontMail.Path());
  SmtpPeer backSmtp("plain", backMail.Path());
  ASSERT_TRUE(frontSmtp.Running() && backSmtp.Running());
  folders.WriteSettings("front", MotionMailSettings(redVideo, frontSmtp.Port()));
  folders.WriteSettings("back", MotionMailSettings(blueVideo, backSmtp.Port()));
  // The default profile's file is another camera altogether.
  folders.WriteSettings("", MotionMailSettings(folders.work.File("missing.avi"), "1"));

  ChildProcess front({VARDOCAM_PROGRAM, "--headless", "--profile", "front"}, folders.Options("front.log"));
  ChildProcess back({VARDOCAM_PROGRAM, "--headless", "--profile=back"}, folders.Options("back.log"));
  ASSERT_TRUE(WaitFor(kMailLimitMs, [&] {
    return (!ReceivedMails(frontMail.Path()).empty() && !ReceivedMails(backMail.Path()).empty()) ||
           !front.Running() || !back.Running();
  })) << folders.Log("front.log") << folders.Log("back.log");
  ASSERT_TRUE(front.Running() && back.Running()) << folders.Log("front.log") << folders.Log("back.log");

  const std::vector<double> red = AttachedPictureMean(ReceivedMails(frontMail.Path()).front());
  const std::vector<double> blue = AttachedPictureMean(ReceivedMails(backMail.Path()).front());
  EXPECT_GT(red[2], red[0] + 40) << "front's mail shows the red camera";
  EXPECT_GT(blue[0], blue[2] + 40) << "back's mail shows the blue camera";

  ChildProcess again({VARDOCAM_PROGRAM, "--headless", "--profile", "front"}, folders.Options("again.log"));
  EXPECT_EQ(again.Wait(kExitLimitMs), std::optional<int>(0));
  EXPECT_TRUE(LogHas(folders, "again.log", "<4>プロファイル front は既に動作中")) << folders.Log("again.log");
  // The window of a profile whose service runs says how to edit it.
  ChildProcess window({VARDOCAM_PROGRAM, "--profile", "front"}, folders.Options("window.log"));
  EXPECT_EQ(window.Wait(kExitLimitMs), std::optional<int>(0));
  EXPECT_TRUE(LogHas(folders, "window.log", "systemctl --user stop vardocam@front")) << folders.Log("window.log");
  EXPECT_TRUE(front.Running());

  kill(front.Pid(), SIGTERM);
  kill(back.Pid(), SIGINT);
  EXPECT_EQ(front.Wait(kExitLimitMs), std::optional<int>(0));
  EXPECT_EQ(back.Wait(kExitLimitMs), std::optional<int>(0));
}

// What the command line asks is answered before any window or display is
// needed: none of these may abort for want of a display.
TEST(ProgramCommandLine, AnswersWithoutADisplayAndEndsWithTheRightCode) {
  struct Row {
    std::vector<std::string> args;
    int exitCode;
    const char* said;
    bool unreachableDisplay = false;  // named, but nobody serves it
  };
  const Row rows[] = {
      {{"--help"}, 0, "使い方: vardocam"},
      {{"--version"}, 0, "vardocam 0."},
      {{"--headles"}, 2, "vardocam: 不明なオプションです: --headles"},
      {{"-v"}, 2, "vardocam: 不明なオプションです: -v"},
      {{"foo"}, 2, "vardocam: 不明な引数です: foo"},
      {{}, 1, "vardocam: 画面に接続できないため"},
      {{"--profile", "front"}, 1, "vardocam: 画面に接続できないため"},
      {{}, 1, "vardocam: 画面に接続できないため", true},
  };
  HeadlessFolders folders;
  for (const Row& row : rows) {
    std::vector<std::string> argv{VARDOCAM_PROGRAM};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    SCOPED_TRACE(argv.size() > 1 ? argv[1] : "(window)");
    ChildProcess::Options options = folders.Options("line.log");
    if (row.unreachableDisplay) options.env["DISPLAY"] = ":" + std::to_string(FreeDisplayNumber(90));
    ChildProcess program(argv, options);
    EXPECT_EQ(program.Wait(kExitLimitMs), std::optional<int>(row.exitCode));
    EXPECT_EQ(folders.Log("line.log").rfind(row.said, 0), 0u) << "one line, nothing before it: " << folders.Log("line.log");
  }
}

// With a broker named, the service tells it what happens; a process that
// dies without a goodbye is reported offline by the broker's last will.
TEST_F(HeadlessProgram, TellsTheBrokerAndItsLastWillSaysWhenItDied) {
  MqttBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  MqttRecorder recorder(broker.Port());
  ASSERT_TRUE(recorder.Subscribed());
  TempDir mailDir;
  SmtpPeer smtp("plain", mailDir.Path());
  ASSERT_TRUE(smtp.Running());
  auto settings = MotionMailSettings(video_, smtp.Port());
  char port[16];
  std::snprintf(port, sizeof port, "dword:%08x", static_cast<unsigned>(broker.Port()));
  settings.push_back({"MQTT_HOSTNAME", "\"127.0.0.1\""});
  settings.push_back({"MQTT_PORTNUMBER", port});
  settings.push_back({"CAMERA_NAME", "\"裏庭\""});
  folders_.WriteSettings("yard", settings);

  ChildProcess program({VARDOCAM_PROGRAM, "--headless", "--profile", "yard"}, folders_.Options("run.log"));
  const std::string p = "vardocam/yard";
  EXPECT_TRUE(recorder.WaitFor(p + "/availability", "online", kStartLimitMs)) << folders_.Log("run.log");
  EXPECT_TRUE(recorder.WaitFor(p + "/monitoring", "ON", kStartLimitMs));
  EXPECT_TRUE(recorder.WaitFor(p + "/motion", "ON", kMailLimitMs)) << folders_.Log("run.log");
  EXPECT_TRUE(recorder.WaitFor(p + "/alarm", "ON", kMailLimitMs));
  EXPECT_TRUE(recorder.WaitFor(p + "/snapshot", "", kMailLimitMs));
  EXPECT_TRUE(recorder.WaitFor(p + "/mail", "{\"kind\":\"alert\",\"sent\":true,\"failure\":\"\"}", kMailLimitMs));
  EXPECT_TRUE(LogHas(folders_, "run.log", "<6>[裏庭] MQTTブローカーに接続しました")) << folders_.Log("run.log");
  EXPECT_NE(recorder.Last("homeassistant/binary_sensor/vardocam_yard/monitoring/config").find("\"name\":\"裏庭\""),
            std::string::npos);

  kill(program.Pid(), SIGKILL);
  program.Wait(kExitLimitMs);
  EXPECT_TRUE(recorder.WaitFor(p + "/availability", "offline", kExitLimitMs));
}

// The window on a profile holds that profile's lock only: the default
// profile's window starts beside it, a second one of the profile does not,
// and says why in a box that waits for the user.
TEST(WindowProfiles, WindowOnAProfileTakesItsOwnLock) {
  HeadlessFolders folders;
  ChildProcess::Options options = folders.Options("front.log");
  options.env["QT_QPA_PLATFORM"] = "offscreen";
  ChildProcess front({VARDOCAM_PROGRAM, "--profile", "front"}, options);
  const std::string frontLock = folders.runtime.File("_防犯カメラ・ヴァルド@front");
  ASSERT_TRUE(WaitFor(kStartLimitMs, [&] { return std::filesystem::exists(frontLock) || !front.Running(); }));
  ASSERT_TRUE(front.Running()) << folders.Log("front.log");

  options.outputFile = folders.work.File("default.log");
  ChildProcess defaultOne({VARDOCAM_PROGRAM}, options);
  ASSERT_TRUE(WaitFor(kStartLimitMs, [&] {
    return std::filesystem::exists(folders.runtime.File("_防犯カメラ・ヴァルド")) || !defaultOne.Running();
  }));
  EXPECT_TRUE(defaultOne.Running()) << folders.Log("default.log");

  options.outputFile = folders.work.File("again.log");
  ChildProcess again({VARDOCAM_PROGRAM, "--profile", "front"}, options);
  EXPECT_TRUE(WaitFor(kStartLimitMs, [&] { return LogHas(folders, "again.log", "既に動作中です") || !again.Running(); }));
  EXPECT_TRUE(again.Running()) << folders.Log("again.log");
  EXPECT_TRUE(front.Running());
  // A stop asked of a window closes it as its own close does: it saves.
  kill(front.Pid(), SIGTERM);
  EXPECT_EQ(front.Wait(kExitLimitMs), std::optional<int>(0));
  EXPECT_TRUE(std::filesystem::exists(folders.SettingsPath("front")));
  defaultOne.Stop();
}

// The installed unit starts the program as its ExecStart line says, with
// the instance name as the profile.
TEST(HeadlessUnit, InstalledUnitStartsTheProfileItNames) {
  TempDir prefix;
  ChildProcess install({"cmake", "--install", VARDOCAM_BINARY_DIR, "--prefix", prefix.Path(),
                        "--component", "Unspecified"},
                       {});
  ASSERT_EQ(install.Wait(60000), std::optional<int>(0));
  const std::string unit = ReadFileBytes(prefix.File("lib/systemd/user/vardocam@.service"));
  ASSERT_FALSE(unit.empty());
  const size_t at = unit.find("\nExecStart=");
  ASSERT_NE(at, std::string::npos);
  std::string execStart = unit.substr(at + 11, unit.find('\n', at + 1) - at - 11);
  // systemd's specifier for the instance; the program's path is the built one.
  std::vector<std::string> argv;
  std::istringstream words(execStart);
  // systemd removes the quotes and puts the instance back as typed.
  for (std::string word; words >> word;) argv.push_back(word == "\"%I\"" ? "porch" : word);
  ASSERT_GE(argv.size(), 2u);
  EXPECT_EQ(std::filesystem::path(argv[0]).filename(), "vardocam");
  argv[0] = VARDOCAM_PROGRAM;
  EXPECT_NE(unit.find("TimeoutStopSec="), std::string::npos);

  HeadlessFolders folders;
  const std::string video = folders.work.File("porch.avi");
  ASSERT_TRUE(MakeMotionVideo(video, "0x000000", 320, 240, 4));
  TempDir mailDir;
  SmtpPeer smtp("plain", mailDir.Path());
  ASSERT_TRUE(smtp.Running());
  folders.WriteSettings("porch", MotionMailSettings(video, smtp.Port()));
  ChildProcess program(argv, folders.Options("unit.log"));
  ASSERT_TRUE(WaitFor(kMailLimitMs, [&] { return !ReceivedMails(mailDir.Path()).empty() || !program.Running(); }))
      << folders.Log("unit.log");
  EXPECT_TRUE(LogHas(folders, "unit.log", "プロファイル: porch")) << folders.Log("unit.log");
  kill(program.Pid(), SIGTERM);
  EXPECT_EQ(program.Wait(kExitLimitMs), std::optional<int>(0));
}
} // namespace
