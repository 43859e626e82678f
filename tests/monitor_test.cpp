#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <unistd.h>

#include "monitor/MonitoringCycle.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/TempDir.h"

namespace {
constexpr uint32_t kStart = 1000000;  // far from 0: "no alarm" is stamp 0
constexpr uint32_t kTickMs = 10;
constexpr int kTestPersonChecksPerSecond = 100;

class MonitorTest : public ::testing::Test {
protected:
  void SetUp() override {
    settings = typVardocam{};
    settings.SOUND = "Alarm.wav";
    settings.USESOUND = true;
    settings.USEMAIL = true;
    settings.START_MOVE_OBJECT = 0;
    settings.CHECK_INTERVAL = 1;
    settings.IS_CHECK = false;
    settings.USE_OOTSU = true;
    settings.MOVEBORDER = 4;
    settings.CAMERANUMBER = 2;
    auto owned = std::make_unique<ScriptedCamera>(log, &cameraDestroyed);
    camera = owned.get();
    cycle.SetCamera(std::move(owned));
  }

  // One timer firing kTickMs after the previous one, with the settings as
  // the test has them now.
  void Tick(bool motion, uint32_t after = kTickMs) {
    if (cycle.Monitoring()) cycle.UseSettings(settings);
    clock.Advance(after);
    camera->motion = motion;
    cycle.CaptureTimerTimer();
  }
  void TickFor(uint32_t ms, bool motion) {
    for (uint32_t t = 0; t < ms; t += kTickMs) Tick(motion);
  }
  // Starts monitoring and runs the first tick, which only takes the reference.
  void StartAndSettle() {
    ASSERT_TRUE(cycle.StartMonitoring(settings));
    Tick(false);
  }
  int Count(const std::string& entry) const {
    return static_cast<int>(std::count(log.begin(), log.end(), entry));
  }

  // The settings each test starts monitoring with; a change while it runs
  // is handed to the cycle, as nothing else reaches its snapshot.
  typVardocam settings;
  FakeClock clock{kStart};
  CallLog log;
  FakeTimer timer;
  FakePump pump{log};
  RecordingSound sound{log};
  RecordingMail mail{log};
  MonitoringCycle cycle{timer, pump, sound, mail};
  ScriptedCamera* camera = nullptr;
  bool cameraDestroyed = false;
};

TEST_F(MonitorTest, TickRunsItsStepsInOrderWithTheSettingsOfTheMoment) {
  settings.CAMERA_URL = "rtsp://127.0.0.1/cam";
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(log, (CallLog{"open 2"}));
  EXPECT_EQ(camera->lastUrl, "rtsp://127.0.0.1/cam");
  log.clear();
  settings.USE_OOTSU = false;
  settings.BINBORDER = 77;
  settings.MOVEBORDER = 9;
  Tick(true);
  EXPECT_EQ(log, (CallLog{"grab result.bmp", "load result.bmp", "grey", "binarize 77", "detect 9",
                          "show", "pump"}));
  log.clear();
  settings.USE_OOTSU = true;
  Tick(true);
  EXPECT_EQ(log, (CallLog{"grab result.bmp", "load result.bmp", "grey", "binarize -1", "detect 9",
                          "show", "pump", "play Alarm.wav", "alert mail"}));
}

TEST_F(MonitorTest, FirstTickNeverAlarmsAndWithoutWarmUpTheSecondCan) {
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  Tick(true);
  EXPECT_EQ(mail.alerts, 0);
  EXPECT_EQ(cycle.AlarmStartTick(), 0u);
  Tick(true);
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_EQ(sound.plays, 1);
  EXPECT_EQ(cycle.AlarmStartTick(), clock.TickCount());
}

TEST_F(MonitorTest, WarmUpSuppressesAlarmsButTheReferenceStillAdvances) {
  settings.START_MOVE_OBJECT = 3;
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  const uint32_t started = clock.TickCount();
  TickFor(3000, true);  // the last of these is exactly 3000 ms: not "more than"
  EXPECT_EQ(clock.TickCount() - started, 3000u);
  EXPECT_EQ(mail.alerts, 0);
  EXPECT_EQ(camera->detections, 300);
  // The scene changed during the warm-up and is still now: no alarm.
  Tick(false, 1);
  EXPECT_EQ(mail.alerts, 0);
  Tick(true, 1);
  EXPECT_EQ(mail.alerts, 1);
}

TEST_F(MonitorTest, OneTickOfMotionSoundsFiveSecondsAndStopsAtTheFirstQuietTick) {
  StartAndSettle();
  Tick(true);
  const uint32_t alarmStart = cycle.AlarmStartTick();
  ASSERT_NE(alarmStart, 0u);
  EXPECT_EQ(Count("play Alarm.wav"), 1);
  EXPECT_EQ(mail.alerts, 1);
  // Quiet ticks up to exactly 5000 ms: still sounding.
  while (clock.TickCount() - alarmStart < kAlarmSpacingMs) Tick(false);
  EXPECT_EQ(clock.TickCount() - alarmStart, kAlarmSpacingMs);
  EXPECT_EQ(sound.stops, 0);
  Tick(false, 1);
  EXPECT_EQ(sound.stops, 1);
  EXPECT_EQ(cycle.AlarmStartTick(), 0u);
  EXPECT_EQ(mail.alerts, 1);
  // The next detection starts a new alarm with a new stamp and mail.
  Tick(true);
  EXPECT_EQ(mail.alerts, 2);
  EXPECT_EQ(sound.plays, 2);
  EXPECT_EQ(cycle.AlarmStartTick(), clock.TickCount());
}

TEST_F(MonitorTest, ContinuousMotionMailsAtTheStartThenOnEveryTickAfterFiveSeconds) {
  StartAndSettle();
  Tick(true);
  const uint32_t alarmStart = cycle.AlarmStartTick();
  ASSERT_EQ(mail.alerts, 1);
  TickFor(kAlarmSpacingMs, true);  // up to and including +5000 ms
  EXPECT_EQ(mail.alerts, 1);
  TickFor(12000 - kAlarmSpacingMs, true);  // +5010 ... +12000
  EXPECT_EQ(mail.alerts, 1 + 700);
  EXPECT_EQ(sound.plays, 1);  // the sound is never restarted
  EXPECT_EQ(cycle.AlarmStartTick(), alarmStart);
  EXPECT_EQ(sound.stops, 0);
  Tick(false);
  EXPECT_EQ(sound.stops, 1);
  EXPECT_EQ(cycle.AlarmStartTick(), 0u);
}

TEST_F(MonitorTest, WithoutSoundMailsAreSpacedTheSame) {
  settings.USESOUND = false;
  StartAndSettle();
  Tick(true);
  TickFor(kAlarmSpacingMs, true);
  EXPECT_EQ(mail.alerts, 1);
  Tick(true);
  EXPECT_EQ(mail.alerts, 2);
  EXPECT_EQ(sound.plays, 0);
}

TEST_F(MonitorTest, RequestCheckEveryIntervalCountedFromTheEndOfTheCheck) {
  settings.IS_CHECK = true;
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  mail.onCheck = [&] { clock.Advance(2000); };  // the poll takes 2 s
  Tick(false, 60000);  // exactly one interval: not "more than"
  EXPECT_EQ(mail.checks, 0);
  Tick(false, 1);
  EXPECT_EQ(mail.checks, 1);
  EXPECT_EQ(cycle.RequestCheckTick(), clock.TickCount());
  Tick(false, 60000);
  EXPECT_EQ(mail.checks, 1);
  Tick(false, 1);
  EXPECT_EQ(mail.checks, 2);
}

TEST_F(MonitorTest, CheckIntervalZeroChecksWheneverAMillisecondPassed) {
  settings.IS_CHECK = true;
  settings.CHECK_INTERVAL = 0;
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  Tick(false, 0);
  EXPECT_EQ(mail.checks, 0);
  Tick(false, 1);
  Tick(false, 1);
  EXPECT_EQ(mail.checks, 2);
  Tick(false, 0);
  EXPECT_EQ(mail.checks, 2);
}

TEST_F(MonitorTest, IsCheckFalseNeverChecksButRenewsTheInterval) {
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  Tick(false, 60001);
  EXPECT_EQ(mail.checks, 0);
  EXPECT_EQ(cycle.RequestCheckTick(), clock.TickCount());
  // Switched on now: the next check is a full interval from that renewal.
  settings.IS_CHECK = true;
  Tick(false, 60000);
  EXPECT_EQ(mail.checks, 0);
  Tick(false, 1);
  EXPECT_EQ(mail.checks, 1);
}

TEST_F(MonitorTest, GatesMeasureAcrossTheCounterWrap) {
  clock.Set(0u - 4096 - 20);  // the alarm starts 4096 ms before the wrap
  StartAndSettle();
  Tick(true);
  ASSERT_EQ(cycle.AlarmStartTick(), 0u - 4096);
  Tick(true, 5000);  // 904 after the wrap: 5000 ms, not more
  EXPECT_EQ(clock.TickCount(), 904u);
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_EQ(sound.stops, 0);
  Tick(true, 120);  // 1024 after the wrap: 5120 ms, gate passed
  EXPECT_EQ(mail.alerts, 2);
  Tick(false);
  EXPECT_EQ(sound.stops, 1);
}

TEST_F(MonitorTest, AlarmRightAfterTheCounterPassesZeroIsNotLost) {
  clock.Set(0u - 20);
  StartAndSettle();
  Tick(true);  // the counter reads 0 here, and no alarm is active
  EXPECT_EQ(clock.TickCount(), 0u);
  EXPECT_EQ(mail.alerts, 1);
  // Stamp 0 would mean "no alarm" and leave the sound without an end.
  EXPECT_EQ(cycle.AlarmStartTick(), 1u);
  Tick(false, kAlarmSpacingMs + 2);
  EXPECT_EQ(sound.stops, 1);
  Tick(true, 3000);  // within 5000 ms of counter 0, no alarm active
  EXPECT_EQ(mail.alerts, 2);
}

TEST_F(MonitorTest, NegativeSettingsBecomeVeryLongTimes) {
  settings.START_MOVE_OBJECT = -1;  // 2^32 - 1000 ms
  settings.CHECK_INTERVAL = -1;     // 2^32 - 60000 ms
  settings.IS_CHECK = true;
  StartAndSettle();
  const uint32_t started = cycle.MonitorStartTick();
  Tick(true, 0u - 60000 - 10);
  EXPECT_EQ(clock.TickCount() - started, 0u - 60000);
  EXPECT_EQ(mail.checks, 0);
  Tick(true, 1);
  EXPECT_EQ(mail.checks, 1);
  Tick(true, 60000 - 1000 - 1);
  EXPECT_EQ(clock.TickCount() - started, 0u - 1000);
  EXPECT_EQ(mail.alerts, 0);
  Tick(true, 1);
  EXPECT_EQ(mail.alerts, 1);
}

TEST_F(MonitorTest, StopDuringThePumpStillRunsTheGatesOfThatTick) {
  StartAndSettle();
  log.clear();
  pump.action = [&] { cycle.StopMonitoring(); };
  Tick(true);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(log, (CallLog{"grab result.bmp", "load result.bmp", "grey", "binarize -1", "detect 4",
                          "show", "pump", "close", "load start.jpg", "show", "play Alarm.wav",
                          "alert mail"}));
}

TEST_F(MonitorTest, StopLeavesTheAlarmAndARestartEndsIt) {
  StartAndSettle();
  Tick(true);
  cycle.StopMonitoring();
  EXPECT_EQ(sound.stops, 0);
  EXPECT_NE(cycle.AlarmStartTick(), 0u);
  clock.Advance(6000);
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  EXPECT_EQ(camera->opens, 2);
  Tick(true);  // first tick after the start: no motion, the gate stops it
  EXPECT_EQ(sound.stops, 1);
  EXPECT_EQ(mail.alerts, 1);
}

TEST_F(MonitorTest, StartWhileRunningChangesNothing) {
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  const uint32_t request = cycle.RequestCheckTick();
  const uint32_t monitor = cycle.MonitorStartTick();
  clock.Advance(500);
  EXPECT_TRUE(cycle.StartMonitoring(settings));
  EXPECT_EQ(camera->opens, 1);
  EXPECT_EQ(cycle.RequestCheckTick(), request);
  EXPECT_EQ(cycle.MonitorStartTick(), monitor);
}

TEST_F(MonitorTest, TimerFiringsDuringATickAreDropped) {
  StartAndSettle();
  log.clear();
  pump.action = [&] { cycle.CaptureTimerTimer(); };
  Tick(false);
  EXPECT_EQ(Count("grab result.bmp"), 1);
  EXPECT_FALSE(cycle.TickBusy());
}

TEST_F(MonitorTest, TickWithoutANewFrameSkipsTheImageWorkButRunsPumpAndGates) {
  settings.IS_CHECK = true;
  StartAndSettle();
  Tick(true);
  ASSERT_EQ(mail.alerts, 1);
  camera->newFrame = false;
  log.clear();
  Tick(true, kAlarmSpacingMs + 1);
  // Same frame: no motion, so the alarm ends on this tick.
  EXPECT_EQ(log, (CallLog{"pump", "stop"}));
  Tick(true, 60000);
  EXPECT_EQ(mail.checks, 1);
  EXPECT_EQ(camera->detections, 2);
}

TEST_F(MonitorTest, FrameThatCannotBeGrabbedOrReadSkipsDetection) {
  StartAndSettle();
  camera->grabResult = false;
  log.clear();
  Tick(true);
  EXPECT_EQ(log, (CallLog{"grab result.bmp", "pump"}));
  camera->grabResult = true;
  camera->loadResult = false;
  log.clear();
  Tick(true);
  EXPECT_EQ(log, (CallLog{"grab result.bmp", "load result.bmp", "pump"}));
  EXPECT_EQ(camera->detections, 1);
  EXPECT_EQ(mail.alerts, 0);
}


TEST_F(MonitorTest, ErrorLeavingATickClearsTickBusyAndSkipsTheRest) {
  settings.IS_CHECK = true;
  StartAndSettle();
  mail.onCheck = [] { throw std::runtime_error("-ERR mailbox locked"); };
  clock.Advance(60001);
  camera->motion = false;
  EXPECT_THROW(cycle.CaptureTimerTimer(), std::runtime_error);
  EXPECT_FALSE(cycle.TickBusy());
  EXPECT_TRUE(timer.Enabled());
  // The interval was not renewed: the next tick checks again.
  mail.onCheck = nullptr;
  Tick(false);
  EXPECT_EQ(mail.checks, 2);
}

TEST_F(MonitorTest, CloseInsideThePumpEndsTheTickBeforeTheObjectGoes) {
  StartAndSettle();
  log.clear();
  pump.action = [&] {
    timer.SetEnabled(false);
    cycle.ReleaseCamera();
    EXPECT_FALSE(cameraDestroyed);  // still inside the tick
  };
  Tick(true);
  EXPECT_EQ(log, (CallLog{"grab result.bmp", "load result.bmp", "grey", "binarize -1", "detect 4",
                          "show", "pump"}));
  EXPECT_TRUE(cameraDestroyed);
  EXPECT_EQ(cycle.Camera(), nullptr);
  EXPECT_EQ(mail.alerts, 0);
  // Late timer firings and buttons find no camera and do nothing.
  cycle.CaptureTimerTimer();
  cycle.StopMonitoring();
  EXPECT_FALSE(cycle.StartMonitoring(settings));
}

TEST_F(MonitorTest, CloseInsideTheAlertMailSkipsTheRequestCheck) {
  settings.IS_CHECK = true;
  settings.CHECK_INTERVAL = 0;
  StartAndSettle();
  mail.onAlert = [&] { cycle.ReleaseCamera(); };
  Tick(true);
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_EQ(mail.checks, 1);  // only the settling tick's
  EXPECT_TRUE(cameraDestroyed);
}

// Records what the cycle reports, one line an event.
TEST_F(MonitorTest, DetectorGetsTheFrameTimeAndTheComparisonSettingsOfTheMoment) {
  settings.REFERENCE_INTERVAL = 80;
  settings.LIGHTING_CUTOFF = 70;
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  Tick(false);
  EXPECT_EQ(camera->lastFrameTimeMs, clock.TickCount());
  EXPECT_EQ(camera->lastOptions.referenceIntervalMs, 80u);
  EXPECT_EQ(camera->lastOptions.lightingCutoffPercent, 70);
  EXPECT_TRUE(camera->lastOptions.mask.empty());
  // Negative values are off.
  settings.REFERENCE_INTERVAL = -5;
  settings.LIGHTING_CUTOFF = -1;
  Tick(false);
  EXPECT_EQ(camera->lastOptions.referenceIntervalMs, 0u);
  EXPECT_EQ(camera->lastOptions.lightingCutoffPercent, 0);
  // The global record does not reach a running cycle: its snapshot holds.
  AppSettings.LIGHTING_CUTOFF = 90;
  clock.Advance(kTickMs);
  cycle.CaptureTimerTimer();
  EXPECT_EQ(camera->lastOptions.lightingCutoffPercent, 0);
  AppSettings = typVardocam{};
}

TEST_F(MonitorTest, AnAlarmWaitsForTheSetNumberOfNewFramesInARowWithMotion) {
  settings.MOTION_FRAMES = 3;
  StartAndSettle();
  Tick(true);
  Tick(true);
  // Ticks without a new frame neither count nor reset.
  camera->newFrame = false;
  Tick(true);
  Tick(false);
  camera->newFrame = true;
  EXPECT_EQ(mail.alerts, 0);
  Tick(true);
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_EQ(sound.plays, 1);

  // A frame without motion starts the count again.
  TickFor(kAlarmSpacingMs + kTickMs, false);
  EXPECT_EQ(sound.stops, 1);
  Tick(true);
  Tick(true);
  Tick(false);
  Tick(true);
  Tick(true);
  EXPECT_EQ(mail.alerts, 1);
  Tick(true);
  EXPECT_EQ(mail.alerts, 2);
}

TEST_F(MonitorTest, ZeroOrOneFrameAlarmsAtTheFirstDetection) {
  for (int32_t frames : {0, 1}) {
    settings.MOTION_FRAMES = frames;
    cycle.StopMonitoring();
    StartAndSettle();
    const int before = mail.alerts;
    Tick(true);
    EXPECT_EQ(mail.alerts, before + 1) << frames;
    TickFor(kAlarmSpacingMs + kTickMs, false);
  }
}

TEST_F(MonitorTest, MailCooldownSpacesAlertMailsAcrossACounterWrapAndLeavesTheSoundAlone) {
  settings.MAIL_COOLDOWN = 20;
  // The first mail 3 s before the counter wraps.
  clock.Set(0xFFFFFFFFu - 3000);
  StartAndSettle();
  Tick(true);
  EXPECT_EQ(mail.alerts, 1);
  // Motion on and off: alarms start and end as always, without mails.
  for (int burst = 0; burst < 2; ++burst) {
    TickFor(kAlarmSpacingMs + kTickMs, false);
    Tick(true);
  }
  EXPECT_EQ(sound.plays, 3);
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_LT(clock.TickCount(), 20000u);  // past the wrap, under 20 s on
  // 20 s after the first mail, not before.
  const uint32_t firstMail = 0xFFFFFFFFu - 3000 + kTickMs * 2;
  TickFor(firstMail + 20000 - clock.TickCount(), true);
  EXPECT_EQ(mail.alerts, 1);
  Tick(true);
  EXPECT_EQ(mail.alerts, 2);
}

TEST_F(MonitorTest, MailCooldownZeroKeepsTheClassicSpacingAndLongOnesAreCutToADay) {
  StartAndSettle();
  Tick(true);
  TickFor(kAlarmSpacingMs, true);
  Tick(true);  // continuous motion: a mail on every tick after 5 s
  Tick(true);
  EXPECT_EQ(mail.alerts, 3);

  TickFor(kAlarmSpacingMs + kTickMs, false);
  settings.MAIL_COOLDOWN = kMaxMailCooldownS * 10;
  Tick(true);
  EXPECT_EQ(mail.alerts, 4);
  Tick(false, static_cast<uint32_t>(kMaxMailCooldownS) * 1000);
  Tick(true, 0);  // a day after the mail: an alarm, still no mail
  EXPECT_EQ(mail.alerts, 4);
  EXPECT_EQ(sound.plays, 3);
  TickFor(kAlarmSpacingMs + kTickMs, false);
  Tick(true);  // a day and 5 s: ten days were asked for, one is kept
  EXPECT_EQ(mail.alerts, 5);
}

namespace {
class NoticeLog : public IMonitorEvents {
public:
  void On(const MonitorEvent& event) override {
    if (event.kind == MonitorEvent::Kind::Notice) notices.push_back(event.text);
  }
  std::vector<std::string> notices;
};
} // namespace

// Mails held by a server pile up no further than their bound: a further
// alarm's mail is not asked for, said once; once they are done, mails go again.
TEST_F(MonitorTest, AlertMailsUnderWayAreBoundedAndTheSkipIsSaidOnce) {
  struct HeldRunner : IMailRunner {
    std::vector<std::pair<std::function<void()>, std::function<void()>>> held;
    void Run(std::function<void()> work, std::function<void()> done) override {
      held.emplace_back(std::move(work), std::move(done));
    }
  } runner;
  NoticeLog events;
  cycle.AddEventListener(&events);
  cycle.SetMailRunner(&runner);
  StartAndSettle();
  for (int alarm = 0; alarm < kMaxAlertMailsUnderWay + 2; ++alarm) {
    Tick(true);
    TickFor(kAlarmSpacingMs + kTickMs, false);
  }
  EXPECT_EQ(cycle.AlertMailsUnderWay(), kMaxAlertMailsUnderWay);
  EXPECT_EQ(events.notices.size(), 1u);
  for (auto& [work, done] : runner.held) {
    work();
    done();
  }
  runner.held.clear();
  EXPECT_EQ(cycle.AlertMailsUnderWay(), 0);
  Tick(true);
  EXPECT_EQ(cycle.AlertMailsUnderWay(), 1);
  cycle.RemoveEventListener(&events);
}

// A frame file that cannot be written does not blind the monitor: the
// frame goes on to the detector, and the trouble is said once each way.
TEST_F(MonitorTest, FrameFileThatCannotBeWrittenIsSaidOnceAndDetectionGoesOn) {
  NoticeLog events;
  cycle.AddEventListener(&events);
  StartAndSettle();
  camera->writable = false;
  Tick(true);
  Tick(true);
  EXPECT_EQ(camera->detections, 3);
  ASSERT_EQ(events.notices.size(), 1u);
  EXPECT_NE(events.notices[0].find("書き込めません"), std::string::npos);
  camera->writable = true;
  Tick(true);
  Tick(true);
  ASSERT_EQ(events.notices.size(), 2u);
  EXPECT_NE(events.notices[1].find("再び書き込める"), std::string::npos);
  cycle.RemoveEventListener(&events);
}

TEST_F(MonitorTest, AnUnreadableMaskIsSaidOnceAndMonitoringGoesOnWithoutIt) {
  TempDir dir;
  NoticeLog events;
  cycle.AddEventListener(&events);
  settings.MASK_FILE = dir.File("missing.png");
  StartAndSettle();
  Tick(true);
  TickFor(100, false);
  EXPECT_EQ(mail.alerts, 1);
  ASSERT_EQ(events.notices.size(), 1u);
  EXPECT_NE(events.notices[0].find("missing.png"), std::string::npos);
  EXPECT_TRUE(camera->lastOptions.mask.empty());

  // A readable mask is passed on as read; one with nothing white is said.
  cv::Mat mask(30, 40, CV_8UC1, cv::Scalar(255));
  cv::imwrite(dir.File("mask.pgm"), mask);
  settings.MASK_FILE = dir.File("mask.pgm");
  Tick(false);
  EXPECT_EQ(camera->lastOptions.mask.size(), cv::Size(40, 30));
  cv::imwrite(dir.File("black.png"), cv::Mat(30, 40, CV_8UC1, cv::Scalar(0)));
  settings.MASK_FILE = dir.File("black.png");
  Tick(false);
  Tick(false);
  EXPECT_EQ(events.notices.size(), 2u);
  EXPECT_EQ(cv::countNonZero(camera->lastOptions.mask), 0);

  // A new start reads the file again, and says so again.
  settings.MASK_FILE = dir.File("missing.png");
  Tick(false);
  cycle.StopMonitoring();
  StartAndSettle();
  EXPECT_EQ(events.notices.size(), 4u);
  cycle.RemoveEventListener(&events);
}

class RecordingEvents : public IMonitorEvents {
public:
  void On(const MonitorEvent& e) override {
    using K = MonitorEvent::Kind;
    switch (e.kind) {
    case K::MonitoringStarted: log.push_back("started " + std::to_string(e.warmUpMs)); break;
    case K::MonitoringStopped: log.push_back("stopped"); break;
    case K::MotionDetected: log.push_back("motion"); break;
    case K::AlarmStarted: log.push_back("alarm on"); break;
    case K::AlarmEnded: log.push_back("alarm off"); break;
    case K::AlertMailDone: log.push_back(e.sent ? "mail sent" : "mail failed: " + e.text); break;
    case K::AlertMailHeldBack: log.push_back("mail held back " + std::to_string(e.secondsLeft)); break;
    case K::PersonDetected: log.push_back("person " + std::to_string(e.box.x)); break;
    case K::MotionWithoutPerson: log.push_back("no person"); break;
    case K::Notice: log.push_back("notice " + e.text); break;
    case K::RequestCheckDone:
      log.push_back(e.ok ? "checked " + std::to_string(e.requests) : "check failed: " + e.text);
      break;
    case K::TestAlarmStep: log.push_back(e.text); break;
    case K::MailDone:
      if (e.mail == MailKind::Test) log.push_back(e.sent ? "test mail sent" : "test mail failed: " + e.text);
      break;
    default: break;
    }
  }
  CallLog log;
};

class FailingMail : public RecordingMail {
public:
  using RecordingMail::RecordingMail;
  MailResult SendAlertMail(const MailContext& context) override {
    RecordingMail::SendAlertMail(context);
    return {false, "no host"};
  }
  RequestCheckResult CheckRequestMail(const MailContext& context) override {
    RecordingMail::CheckRequestMail(context);
    throw std::runtime_error("bad reply");
  }
};

TEST_F(MonitorTest, ListenersHearEachStepOfAnAlarmInOrder) {
  RecordingEvents events;
  cycle.AddEventListener(&events);
  settings.START_MOVE_OBJECT = 3;
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  Tick(false);
  Tick(true, 3001);
  TickFor(5100, false);
  cycle.StopMonitoring();
  cycle.RemoveEventListener(&events);
  EXPECT_EQ(events.log, (CallLog{"started 3000", "motion", "alarm on", "mail sent", "alarm off", "stopped"}));
}

// The warm-up's changes are not motion to anyone listening: no history
// line, no MQTT motion, before detection starts.
TEST_F(MonitorTest, NoMotionIsReportedDuringTheWarmUp) {
  RecordingEvents events;
  cycle.AddEventListener(&events);
  settings.START_MOVE_OBJECT = 3;
  ASSERT_TRUE(cycle.StartMonitoring(settings));
  TickFor(3000, true);
  EXPECT_EQ(events.log, CallLog{"started 3000"});
  Tick(true, 1);
  cycle.StopMonitoring();
  cycle.RemoveEventListener(&events);
  EXPECT_EQ(events.log.at(1), "motion");
}

// The server down for a moment must not cost the next alarms their mails:
// only a mail that went out holds the next back, and that is said once per
// alarm. With mails off nothing is held back.
TEST_F(MonitorTest, OnlyASentMailStartsTheCooldownAndAHeldBackMailIsSaidOncePerAlarm) {
  RecordingEvents events;
  cycle.AddEventListener(&events);
  settings.MAIL_COOLDOWN = 60;
  StartAndSettle();
  mail.alertResult = {false, "down"};
  Tick(true);
  TickFor(kAlarmSpacingMs + kTickMs, false);
  mail.alertResult = {};
  Tick(true);
  EXPECT_EQ(mail.alerts, 2);
  TickFor(kAlarmSpacingMs + kTickMs, true);  // 5.01 s after the mail: held back
  TickFor(kAlarmSpacingMs + kTickMs, false);
  Tick(true);  // a new alarm 10.03 s after the mail
  EXPECT_EQ(mail.alerts, 2);
  cycle.StopMonitoring();
  settings.USEMAIL = false;
  StartAndSettle();
  for (int alarm = 0; alarm < 2; ++alarm) {
    TickFor(kAlarmSpacingMs + kTickMs, false);
    Tick(true);
  }
  cycle.RemoveEventListener(&events);
  CallLog said;
  for (const std::string& e : events.log)
    if (e.rfind("mail", 0) == 0) said.push_back(e);
  EXPECT_EQ(said, (CallLog{"mail failed: down", "mail sent", "mail held back 55", "mail held back 50",
                           "mail sent", "mail sent"}));
}

TEST(MonitorEvents, FailuresReachTheListenersAndTheErrorStillLeavesTheTick) {
  FakeClock clock{kStart};
  CallLog log;
  FakeTimer timer;
  FakePump pump{log};
  RecordingSound sound{log};
  FailingMail mail{log};
  MonitoringCycle cycle{timer, pump, sound, mail};
  cycle.SetCamera(std::make_unique<ScriptedCamera>(log, nullptr));
  RecordingEvents events;
  cycle.AddEventListener(&events);
  AppSettings = typVardocam{};
  AppSettings.USEMAIL = true;
  AppSettings.IS_CHECK = true;
  AppSettings.CHECK_INTERVAL = 1;
  ASSERT_TRUE(cycle.StartMonitoring());
  clock.Advance(kTickMs);
  cycle.CaptureTimerTimer();
  static_cast<ScriptedCamera*>(cycle.Camera())->motion = true;
  clock.Advance(kTickMs);
  cycle.CaptureTimerTimer();
  static_cast<ScriptedCamera*>(cycle.Camera())->motion = false;
  clock.Advance(60001);
  EXPECT_THROW(cycle.CaptureTimerTimer(), std::runtime_error);
  EXPECT_EQ(events.log, (CallLog{"started 0", "motion", "alarm on", "mail failed: no host", "alarm off",
                                 "check failed: bad reply"}));
  EXPECT_FALSE(cycle.TickBusy());
}

// The real detector fed through the frame file, by a capture that writes
// the frames the test gives it.
class FrameFileCamera : public NsOpenCVCamera {
public:
  FrameFileCamera() : NsOpenCVCamera("IMAGE") {}
  bool OpenCamera(int32_t, const std::string&) override { return true; }
  void CloseCamera() override {}
  bool HasNewFrame() override { return fresh_; }
  bool GrabFrameToFile(const std::string& path) override {
    fresh_ = false;
    return cv::imwrite(path, frame_);
  }
  void Serve(const cv::Mat& frame) {
    frame_ = frame;
    fresh_ = true;
  }

private:
  cv::Mat frame_;
  bool fresh_ = false;
};

class WorkingFolder {
public:
  explicit WorkingFolder(const std::string& path) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingFolder() { std::filesystem::current_path(old_); }

private:
  std::filesystem::path old_;
};

// The real cycle with fake time, sound and mail around a frame-file camera,
// monitoring from its making.
struct CycleWithDetector {
  explicit CycleWithDetector(MonitoringCycle::PersonDetectorFactory persons = nullptr,
                             IMonitorEvents* listener = nullptr) {
    auto owned = std::make_unique<FrameFileCamera>();
    camera = owned.get();
    cycle.SetCamera(std::move(owned));
    // Checks as fast as the test's ticks, whose clock runs ahead of the real one.
    if (persons) cycle.SetPersonDetectorFactory(std::move(persons), kTestPersonChecksPerSecond);
    cycle.AddEventListener(listener);
    EXPECT_TRUE(cycle.StartMonitoring());
  }
  FakeClock clock{kStart};
  CallLog log;
  FakeTimer timer;
  FakePump pump{log};
  RecordingSound sound{log};
  RecordingMail mail{log};
  MonitoringCycle cycle{timer, pump, sound, mail};
  FrameFileCamera* camera = nullptr;
};

TEST(MonitorWithDetector, FramesPassThroughTheFileAndRealMotionRaisesTheAlarm) {
  TempDir dir;
  WorkingFolder here(dir.Path());
  AppSettings = typVardocam{};
  AppSettings.USESOUND = true;
  AppSettings.SOUND = "Alarm.wav";
  AppSettings.USE_OOTSU = false;
  AppSettings.BINBORDER = 100;
  AppSettings.MOVEBORDER = 4;
  CycleWithDetector run;
  auto& [clock, log, timer, pump, sound, mail, cycle, camera] = run;

  cv::Mat dark(240, 320, CV_8UC3, cv::Scalar(20, 20, 20));
  cv::Mat moved = dark.clone();
  cv::rectangle(moved, cv::Rect(40, 40, 160, 120), cv::Scalar(230, 230, 230), cv::FILLED);

  camera->Serve(dark);
  clock.Advance(kTickMs);
  cycle.CaptureTimerTimer();
  EXPECT_TRUE(std::filesystem::exists(dir.File("result.bmp")));
  EXPECT_EQ(mail.alerts, 0);
  // No new frame: nothing is compared, the reference stays.
  const cv::Mat reference = camera->Detector()->ReferenceImage().clone();
  clock.Advance(kTickMs);
  cycle.CaptureTimerTimer();
  EXPECT_EQ(cv::countNonZero(reference != camera->Detector()->ReferenceImage()), 0);

  camera->Serve(moved);
  clock.Advance(kTickMs);
  cycle.CaptureTimerTimer();
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_EQ(sound.plays, 1);
  EXPECT_EQ(camera->Detector()->ColourImage().cols, 320);
}
namespace {
// The real cycle and detector, fed a 640 x 480 walker (80 x 300, in
// clothes striped 20 pixels wide) that crosses the picture in 4 s at `fps`.
int AlarmsForACrossing(int fps, int32_t referenceInterval) {
  TempDir dir;
  WorkingFolder here(dir.Path());
  AppSettings = typVardocam{};
  AppSettings.USE_OOTSU = true;
  AppSettings.MOVEBORDER = 4;
  AppSettings.REFERENCE_INTERVAL = referenceInterval;
  CycleWithDetector run;
  auto& [clock, log, timer, pump, sound, mail, cycle, camera] = run;
  // A scene of large light and dark areas, as a room or a yard binarises.
  cv::Mat coarse(12, 16, CV_8UC3), background;
  cv::randu(coarse, cv::Scalar::all(40), cv::Scalar::all(200));
  cv::resize(coarse, background, cv::Size(640, 480), 0, 0, cv::INTER_CUBIC);
  const int frames = 4 * fps;
  for (int i = 0; i <= frames; ++i) {
    cv::Mat frame = background.clone();
    const int x = -80 + (640 + 80) * i / frames;
    for (int stripe = 0; stripe < 80; stripe += 20)
      cv::rectangle(frame, cv::Rect(x + stripe, 120, 20, 300),
                    cv::Scalar::all(stripe % 40 ? 15 : 235), cv::FILLED);
    camera->Serve(frame);
    clock.Set(kStart + static_cast<uint32_t>(i * 1000 / fps));
    cycle.CaptureTimerTimer();
  }
  return mail.alerts;
}
} // namespace

TEST(MonitorWithDetector, AWalkerCrossingAtThirtyFramesASecondRaisesTheAlarm) {
  EXPECT_EQ(AlarmsForACrossing(30, 80), 1);
  // Against the previous frame only, as before, it went unseen.
  EXPECT_EQ(AlarmsForACrossing(30, 0), 0);
}

// A detector that finds the person while the test says one is there, and
// with `once`, in one check only.
class FixedPersonDetector : public IPersonDetector {
public:
  FixedPersonDetector(cv::Rect person, bool once) : person_(person), once_(once) {}
  std::optional<cv::Rect> Find(const cv::Mat&, const MotionRegions&) override {
    if (!present) return std::nullopt;
    if (once_) present = false;
    return person_;
  }
  std::atomic<bool> present{false};

private:
  cv::Rect person_;
  bool once_;
};

class BrokenPersonDetector : public IPersonDetector {
public:
  std::optional<cv::Rect> Find(const cv::Mat&, const MotionRegions&) override {
    throw std::runtime_error("out of memory");
  }
};

// With PERSON_CHECK on, motion alarms only once a person is found where it
// moved; motion without one is said once and raises nothing; a detector
// that cannot be made is said and monitoring goes on without the check, and
// one that fails is said and its motion alarms as without the check.
TEST(MonitorWithDetector, PersonCheckDecidesWhetherMotionAlarms) {
  struct Row {
    const char* name;
    bool detectorMade;
    std::optional<cv::Rect> person;
    uint32_t fromMs;   // when the person comes into view, after the start
    bool once;         // found in one check only
    int alarms;
    const char* said;  // in the events, in order
    bool broken = false;           // every check throws
    int32_t finePermille = 0;      // MOVEBORDER_PERMILLE
  };
  const Row rows[] = {
      // Found in two checks running: a person.
      {"a person", true, cv::Rect(60, 40, 30, 80), 0, false, 1, "person 60|alarm on|"},
      {"nobody", true, std::nullopt, 0, false, 0, "no person|"},
      // Once only, as leaves that look like a person for a moment: nobody.
      {"a person once", true, cv::Rect(60, 40, 30, 80), 0, true, 0, "no person|"},
      // Motion that went on without a person is still checked now and then.
      {"a person later", true, cv::Rect(60, 40, 30, 80), kPersonCheckWindowMs + 1000, false, 1,
       "no person|person 60|alarm on|"},
      // Without the check, the classic threshold again: too coarse for this.
      {"no detector", false, std::nullopt, 0, false, 0, "notice 人物の確認に必要なファイルがありません|"},
      // A check that fails is said with why, and the motion alarms as it
      // would without the check: here at the user's own fine threshold.
      {"a broken detector", true, std::nullopt, 0, false, 1,
       "notice 人物の確認ができませんでした(人物の検出でエラーが起きました：out of memory)。"
       "確認できない間は、人物の確認なしで動きだけで警報を出します。|alarm on|",
       true, kPersonCheckPermille},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    WorkingFolder here(dir.Path());
    AppSettings = typVardocam{};
    AppSettings.BINBORDER = 100;
    AppSettings.PERSON_CHECK = true;
    AppSettings.MOVEBORDER_PERMILLE = row.finePermille;
    RecordingEvents events;
    FixedPersonDetector* detector = nullptr;
    CycleWithDetector run(
        [&](std::string* why) -> std::unique_ptr<IPersonDetector> {
          if (!row.detectorMade) {
            *why = "人物の確認に必要なファイルがありません";
            return nullptr;
          }
          if (row.broken) return std::make_unique<BrokenPersonDetector>();
          auto made = std::make_unique<FixedPersonDetector>(row.person.value_or(cv::Rect()), row.once);
          detector = made.get();
          return made;
        },
        &events);
    // A small thing walking for longer than the check is given: 0.3 % of
    // the picture, which the finer sensitivity of the check still sees.
    for (int i = 0; i < 300 && run.mail.alerts == 0; ++i) {
      if (detector && row.person && i * (kPersonCheckWindowMs / 100) == row.fromMs) detector->present = true;
      cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(20, 20, 20));
      cv::rectangle(frame, cv::Rect(40 + (i % 2) * 12, 40, 12, 20), cv::Scalar::all(230), cv::FILLED);
      run.camera->Serve(frame);
      run.clock.Advance(kPersonCheckWindowMs / 100);
      run.cycle.CaptureTimerTimer();
      usleep(2000);  // the worker checks beside the tick, at its own pace
    }
    std::string said;
    for (const std::string& e : events.log)
      if (e != "motion" && e.rfind("started", 0) != 0 && e.rfind("mail", 0) != 0) said += e + "|";
    EXPECT_EQ(run.mail.alerts, row.alarms);
    EXPECT_EQ(said.rfind(row.said, 0), 0u) << said;
    if (row.alarms > 0) {
      EXPECT_EQ(run.mail.personBox, row.person.value_or(cv::Rect())) << "the mail shows the person found";
    }
    run.cycle.RemoveEventListener(&events);
  }
}

} // namespace

// The cycle feeds the watcher: five minutes without a frame is one mail,
// the next frame one more; nothing while HEALTH_MAIL is off.
TEST_F(MonitorTest, HealthMailWhenFramesStopAndWhenTheyComeBack) {
  const std::string lost = "health mail カメラの映像が途絶えています";
  const std::string back = "health mail カメラの映像が回復しました";
  for (bool on : {false, true}) {
    settings.HEALTH_MAIL = on;
    cycle.StopMonitoring();
    log.clear();
    StartAndSettle();
    camera->newFrame = false;
    for (uint32_t s = 0; s < kHealthNoFrameMinutes * 60 + 60; ++s) Tick(false, 1000);
    camera->newFrame = true;
    Tick(false);
    Tick(false);
    EXPECT_EQ(Count(lost), on ? 1 : 0);
    EXPECT_EQ(Count(back), on ? 1 : 0);
  }
}

// A test alarm tries each part once and says each; its sound stops by itself or
// with the program's end, never a real alarm's, whose gates it leaves alone.
TEST_F(MonitorTest, TestAlarmTriesEachPartOnceAndItsSoundStopsByItself) {
  settings.MAIL_COOLDOWN = 60;
  const char* const noEvents = "テスト警報: イベントは記録しない設定です";
  for (const bool on : {false, true}) {  // sound and mail
    settings.USESOUND = settings.USEMAIL = on;
    AppSettings = settings;
    RecordingEvents events;
    cycle.AddEventListener(&events);
    ASSERT_TRUE(cycle.TestAlarm(nullptr));
    cycle.RemoveEventListener(&events);
    const CallLog said = on ? CallLog{"テスト警報: 警報音を鳴らしました（5 秒で止まります）", "test mail sent", noEvents}
                            : CallLog{"テスト警報: 警報音は鳴らさない設定です", "テスト警報: 警報メールは送らない設定です", noEvents};
    EXPECT_EQ(events.log, said);
    EXPECT_EQ(Count("test mail"), on ? 1 : 0);
  }
  EXPECT_EQ(cycle.AlarmStartTick(), 0u);  // no alarm began
  std::string why;  // while its sound plays, another is refused and says why
  EXPECT_FALSE(cycle.TestAlarm(&why));
  EXPECT_NE(why.find("まだ終わっていません"), std::string::npos);
  clock.Advance(kTestAlarmSoundMs);
  cycle.ServeTestAlarm();
  EXPECT_EQ(sound.stops, 0);
  clock.Advance(1);
  cycle.ServeTestAlarm();
  EXPECT_EQ(sound.stops, 1);
  EXPECT_FALSE(cycle.TestAlarmUnderWay());
  ASSERT_TRUE(cycle.TestAlarm(nullptr));
  cycle.StopAlarmSound();  // as at the program's end
  EXPECT_EQ(sound.stops, 2);
  EXPECT_FALSE(cycle.TestAlarmUnderWay());
  // A real alarm while a test sounds: it mails despite the cooldown, and the test's end leaves its sound.
  ASSERT_TRUE(cycle.TestAlarm(nullptr));
  StartAndSettle();
  Tick(true);
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_EQ(sound.plays, 4);  // three tests' and the alarm's
  TickFor(kTestAlarmSoundMs - kTickMs, true);
  EXPECT_FALSE(cycle.TestAlarmUnderWay());
  EXPECT_EQ(sound.stops, 2);
  AppSettings = typVardocam{};
}
