#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "monitor/HealthWatch.h"
#include "archive/EventRecorder.h"
#include "monitor/MonitorCamera.h"
#include "monitor/MonitorEvents.h"
#include "monitor/MonitorServices.h"
#include "monitor/PersonConfirm.h"
#include "platform/Clock.h"
#include "platform/Sound.h"

// Bare names in the working folder: the frame file that every tick writes
// and reads back, and the idle picture shown while monitoring is off.
extern const char kFrameFile[];
extern const char kIdlePicture[];

// Interval of the capture timer.
constexpr int kCaptureIntervalMs = 10;
// Alert mails asked for and not yet done, at most: one on its way and one
// behind it. While a server holds them, a further alarm's mail is not asked
// for (and said), so a dead server cannot pile up mails without end.
constexpr int kMaxAlertMailsUnderWay = 2;
// Mails kept for sending again get a turn at most this often: the turn
// copies the settings, and the outbox itself waits far longer between tries.
constexpr uint32_t kPendingMailTurnMs = 1000;
// A camera that tells of each new frame wakes the tick itself; between
// frames the timer then waits for the next thing due, at most this long
// (health samples, mails to send again, the end of a clip).
constexpr uint32_t kMaxTickSleepMs = 100;
// An alarm lasts at least this long; alert mails are spaced by it.
constexpr uint32_t kAlarmSpacingMs = 5000;
// A test alarm's sound stops by itself after this long.
constexpr uint32_t kTestAlarmSoundMs = 5000;
// A camera that gives no new frame for longer than this is reported lost
// (the capture goes on reopening it); its next frame reports it back.
constexpr uint32_t kCameraLostMs = 10000;
// With person confirmation and no fine threshold set, the motion stage
// looks for changes this small (tenths of a percent): a person far away is
// a few tenths of a percent of the picture, and the check weeds out the rest.
constexpr int32_t kPersonCheckPermille = 2;

// Switches monitoring on and off and runs one pass of the cycle per timer
// firing: grab, detect, show, let the window work, then the alarm and
// request-mail gates. The settings are a snapshot taken at each start.
// Times are 32-bit tick-counter values; differences wrap. The mails go
// through an IMailRunner: the tick asks for them and goes on, and their
// outcomes come back later on the same thread.
class MonitoringCycle {
public:
  MonitoringCycle(IMonitorTimer& timer, IMessagePump& pump, ISoundPlayer& sound,
                  IMonitorMail& mail);
  MonitoringCycle(const MonitoringCycle&) = delete;
  MonitoringCycle& operator=(const MonitoringCycle&) = delete;

  // Where the mails run (not owned); at once, inside the tick, until set.
  void SetMailRunner(IMailRunner* runner) { runner_ = runner ? runner : &inlineRunner_; }
  // Alert mails asked for whose outcome has not come back yet.
  int AlertMailsUnderWay() const { return alertMailsUnderWay_; }

  // The camera object, owned from the window's first show to its close.
  void SetCamera(std::unique_ptr<IMonitorCamera> camera);
  IMonitorCamera* Camera() const { return camera_.get(); }
  // Listeners to what the cycle does (not owned; each must outlive it or be
  // removed first).
  void AddEventListener(IMonitorEvents* listener) { events_.Add(listener); }
  void RemoveEventListener(IMonitorEvents* listener) { events_.Remove(listener); }
  // Destroys the camera object. Asked for inside a tick (the window closed
  // in its message pump), the rest of that tick is skipped and the object
  // goes when the tick ends, so nothing uses it after its destruction.
  void ReleaseCamera();

  // True when monitoring is on afterwards. The settings are taken as they
  // are now (AppSettings, or those given) and hold until the stop.
  bool StartMonitoring();
  bool StartMonitoring(const typVardocam& settings);
  // Replaces them while monitoring (a test's change of the moment).
  void UseSettings(const typVardocam& settings) { settings_ = settings; }
  void StopMonitoring();
  bool Monitoring() const { return timer_.Enabled(); }

  // One timer firing: dropped while a tick runs. An exception leaves after
  // TickBusy has been cleared.
  void CaptureTimerTimer();
  void MonitorTick();
  // The request mailbox, once the check interval has passed: each tick asks
  // at its end, and while monitoring is off the owner asks from a slower
  // timer of its own, so that a command by mail can start it again. What a
  // poll throws after the login reaches the caller, as from a tick.
  void PollRequestsWhenDue();
  // Mails kept for sending again get their turn; the tick gives it while
  // monitoring, the owner's slower timer while it is off.
  void DeliverPendingMails();

  void StartAlarmSound();
  // Stops the alarm's sound and a test alarm's.
  void StopAlarmSound();

  // A test alarm: the sound for kTestAlarmSoundMs, a mail marked as a test,
  // an event folder marked as one and the broker told, each part said as
  // it goes (TestAlarmStep). No alarm starts, no spacing, cooldown or hourly
  // limit counts it, and no real alarm's event takes it in. False, with
  // why, while the last test is still under way.
  bool TestAlarm(std::string* why);
  // The test sound's end when due, and what the test's folder became; the
  // tick calls it, and the owner while monitoring is off.
  void ServeTestAlarm();
  bool TestAlarmUnderWay() const { return testSounding_ || testMailUnderWay_ || testArchive_; }
  // Called on the camera's thread of each new frame, for this camera and
  // later ones; FrameWakes tells whether the camera does.
  void SetFrameWake(std::function<void()> wake);
  bool FrameWakes() const;
  // With frame wakes, how long the timer may wait before the next tick:
  // until the first thing that falls due without a frame (the alarm's end,
  // a lost camera, the request check), and while a person check is under
  // way no longer than the classic interval.
  uint32_t MsUntilNextDuty() const;
  // Frames taken from the camera since the cycle was made.
  uint64_t FramesTaken() const { return framesTaken_; }
  // Where person checks get their detector, and how many checks a second
  // they may run (tests give their own).
  using PersonDetectorFactory = std::function<std::unique_ptr<IPersonDetector>(std::string* why)>;
  void SetPersonDetectorFactory(PersonDetectorFactory factory, int checksPerSecond = kMaxPersonChecksPerSecond) {
    personFactory_ = std::move(factory);
    personChecksPerSecond_ = checksPerSecond;
  }
  // The event archive while monitoring with EVENT_ARCHIVE on; else nullptr.
  EventRecorder* Archive() const { return archive_.get(); }
  // Person checks run while monitoring, and their processor time (ms).
  uint64_t PersonChecksRun() const;
  double PersonCheckCpuMs() const;
  // No check waits or runs: a benchmark in its own time steps on then.
  bool PersonCheckIdle() const { return !personCheck_ || personCheck_->Idle(); }

  bool TickBusy() const { return tickBusy_; }
  uint32_t AlarmStartTick() const { return alarmStartTick_; }  // 0: no alarm sounding
  uint32_t RequestCheckTick() const { return requestCheckTick_; }
  uint32_t MonitorStartTick() const { return monitorStartTick_; }
  // The request check waits its whole interval from now (after an error
  // that a service cannot show, so the server is not asked on every tick).
  void PostponeRequestCheck() { requestCheckTick_ = GetTickCount(); }
  // As the window's first show leaves them: no tick, no alarm, no start.
  void ResetStamps() {
    tickBusy_ = false;
    alarmStartTick_ = 0;
    monitorStartTick_ = 0;
  }

private:
  bool ProcessNewFrame(IMonitorCamera& camera, uint32_t frameTime);
  bool WarmedUp(uint32_t now) const;
  void StartPersonCheck();
  bool ConfirmPerson(bool newFrame, bool detected, uint32_t now);
  bool MotionLastedLongEnough(bool newFrame, bool detected);
  bool MailCoolingDown(uint32_t now);
  int MailCooldownSecondsLeft(uint32_t now) const;
  const cv::Mat& CurrentMask();
  bool AlarmSpacingPassed(uint32_t now) const;
  void CheckRequests();
  // The settings of now and a copy of the camera's picture, for a mail.
  MailContext NewMailContext(const cv::Mat& picture) const;
  cv::Mat CurrentPicture() const;
  // False when the mail was not asked for (too many under way).
  bool AskAlertMail();
  // With ALERT_MAIL_FIRST_ONLY and an event being kept, whether this
  // alarm's event had its mail asked for already.
  bool EventHadMail() const;
  void AskTestMail();
  void TestEventFolder();
  void TellTestEvent(const ArchiveReport& report);
  // The recorder's options of the settings; nullopt, said, for a folder
  // that will not do.
  std::optional<EventRecorderOptions> ArchiveOptions();
  // Runs `work` through the runner. `done` follows on this thread, told
  // whether `work` threw; what it threw is thrown again after `done`.
  void RunMail(std::function<void()> work, std::function<void(bool threw)> done);
  void WatchFrames(bool newFrame);
  void TellFrameFile(bool written);
  void WatchHealth(bool newFrame);
  bool Closing() const { return releasePending_ || !camera_; }
  void StartArchive();
  void ArchiveFrame(IMonitorCamera& camera);
  void ServeArchive(uint32_t now);
  void StopArchive();

  typVardocam settings_;
  bool tickBusy_ = false;
  uint32_t alarmStartTick_ = 0;
  uint32_t requestCheckTick_ = 0;
  uint32_t monitorStartTick_ = 0;
  IMonitorTimer& timer_;
  IMessagePump& pump_;
  ISoundPlayer& sound_;
  IMonitorMail& mail_;
  InlineMailRunner inlineRunner_;
  IMailRunner* runner_ = &inlineRunner_;
  int alertMailsUnderWay_ = 0;
  bool alertMailSkippedSaid_ = false;
  bool requestCheckUnderWay_ = false;
  bool pendingTurnUnderWay_ = false;
  uint32_t lastPendingTurn_ = 0;
  bool pendingTurnGiven_ = false;
  std::unique_ptr<IMonitorCamera> camera_;
  std::function<void()> frameWake_;
  MonitorEventFanout events_;
  // Hears the archive's floor among the events; HEALTH_MAIL sends what it finds.
  HealthWatch health_;
  bool releasePending_ = false;
  uint64_t framesTaken_ = 0;
  uint32_t lastFrameTick_ = 0;
  bool cameraLost_ = false;
  bool frameFileFailing_ = false;
  // New frames in a row with a detection.
  int32_t motionFrames_ = 0;
  // The last alert mail's time, while the least spacing after it lasts.
  bool mailCooling_ = false;
  uint32_t lastMailTick_ = 0;
  // A held-back mail of the current alarm has been said.
  bool heldBackSaid_ = false;
  // The archive's event (its EventsBegun) whose mail was asked for, and the
  // one whose held-back mails were said; 0: none.
  uint64_t mailedEvent_ = 0;
  uint64_t eventHoldSaid_ = 0;
  // The test alarm: its sound, its mail, and the recorder of its folder
  // while monitoring is off (while on, the archive's own makes it).
  bool testSounding_ = false;
  uint32_t testSoundTick_ = 0;
  bool testMailUnderWay_ = false;
  std::unique_ptr<EventRecorder> testArchive_;
  // The mask picture, read when its setting changes or monitoring starts.
  std::string maskPath_;
  cv::Mat mask_;

  // Person confirmation, while PERSON_CHECK is on and a detector could be
  // made: the worker runs the checks, the decider judges the episode.
  PersonDetectorFactory personFactory_ = MakePersonDetector;
  int personChecksPerSecond_ = kMaxPersonChecksPerSecond;
  std::unique_ptr<PersonCheckWorker> personCheck_;
  MotionRegions lastRegions_;  // of the last frame with motion
  PersonConfirm personConfirm_;
  // The person the decider holds, read by the alarm's mail and the archive.
  const std::optional<PersonFound>& person_ = personConfirm_.Person();
  uint64_t personChecksBefore_ = 0;    // of workers already stopped
  double personCpuBefore_ = 0;

  // The event archive: made at each start with the settings of the moment.
  std::unique_ptr<EventRecorder> archive_;
  bool archiveBelowFloor_ = false;  // as last said, across starts
  bool archiveFed_ = false;         // the camera feeds the archive each JPEG
};
