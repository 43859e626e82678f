#include "session/MonitorSession.h"

#include <utility>

#include "archive/EventMarker.h"
#include "monitor/MonitorMail.h"
#include "mqtt/MqttLink.h"
#include "platform/ExceptionBox.h"
#include "capture/CameraAddress.h"
#include "settings/Vardocamdef.h"

namespace {
IMonitorMail& MailOr(IMonitorMail* given, std::unique_ptr<MonitorMail>& own) {
  if (given) return *given;
  own = std::make_unique<MonitorMail>();
  return *own;
}

std::string CameraFailedNow(IMonitorCamera* camera) {
  return CameraFailedText(AppSettings.CAMERANUMBER, AppSettings.CAMERA_URL, camera ? camera->OpenFailure() : "");
}
} // namespace

void MonitorSession::TimerAdapter::SetEnabled(bool enabled) {
  if (enabled)
    timer_.start(kCaptureIntervalMs);
  else
    timer_.stop();
}

MonitorSession::MonitorSession(const MonitorHost& host, std::string profile, IMonitorMail* mail,
                               QObject* timerOwner)
    : host_(host), cycle_(timer_, host.pump, host.sound, MailOr(mail, ownMail_)),
      arm_(ArmHost{[this](std::string* why) {
                     if (cycle_.StartMonitoring()) return true;
                     if (why) *why = CameraFailedNow(cycle_.Camera());
                     return false;
                   },
                   [this] { cycle_.StopMonitoring(); },
                   [this] { return cycle_.Monitoring(); }, [this] { return cycle_.TickBusy(); },
                   [] { return std::time(nullptr); },
                   [this](std::string* why) { return TestAlarm(why); }},
           armEvents_) {
  captureTimer_.setParent(timerOwner);
  captureTimer_.setObjectName("CaptureTimer");
  captureTimer_.setInterval(kCaptureIntervalMs);
  QObject::connect(&captureTimer_, &QTimer::timeout, [this] { Tick(); });
  // One wake waits in the queue at most: a burst of frames is one tick,
  // which takes the newest.
  cycle_.SetFrameWake([this] {
    if (!wakePosted_.exchange(true)) QMetaObject::invokeMethod(&captureTimer_, [this] { FrameArrived(); }, Qt::QueuedConnection);
  });
  idlePollTimer_.setParent(timerOwner);
  idlePollTimer_.setInterval(kIdleRequestPollMs);
  QObject::connect(&idlePollTimer_, &QTimer::timeout, [this] { IdlePoll(); });
  idlePollTimer_.start();
  cycle_.AddEventListener(&host_.listener);
  // The events' markers name the profile, so retention keeps to its own.
  SetMarkerProfile(profile);
  // Mails kept for sending again live with the profile, in the user's data folder.
  if (ownMail_) {
    ownMail_->SetOutboxFolder(OutboxFolder(profile));
    ownMail_->SetHandledMailFile(HandledMailFile(profile));
    mailWorker_ = std::make_unique<MailWorker>([this](const std::string& what) { TickFailed(what); });
    cycle_.SetMailRunner(mailWorker_.get());
  }
  // The picture of an MQTT snapshot is the detector's latest frame.
  mqtt_ = std::make_unique<MqttLink>(
      std::move(profile),
      [this] {
        IMonitorCamera* camera = cycle_.Camera();
        nsOpenCV* object = camera ? camera->Detector() : nullptr;
        return object ? object->ColourImage().clone() : cv::Mat();
      },
      [this](bool connected, const std::string& detail) { host_.listener.On(MonitorEvent::BrokerChanged(connected, detail)); });
  cycle_.AddEventListener(mqtt_.get());
  cycle_.AddEventListener(&arm_);
  armEvents_.Add(&host_.listener);
  armEvents_.Add(mqtt_.get());
  mqtt_->SetArmControl(&arm_, [this](const std::string& text) { host_.listener.On(MonitorEvent::Notice(text)); });
  // Commands by mail are read on the mail worker and carried out here.
  if (ownMail_) ownMail_->SetArmControl(&mailWorker_->ArmOnSessionThread(arm_));
}

MonitorSession::~MonitorSession() {
  if (mailWorker_) mailWorker_->Close();
  captureTimer_.stop();
  idlePollTimer_.stop();
  cycle_.RemoveEventListener(&arm_);
  cycle_.RemoveEventListener(mqtt_.get());
  cycle_.RemoveEventListener(&host_.listener);
}

void MonitorSession::ConnectBroker() { mqtt_->Apply(AppSettings); }

void MonitorSession::LeaveBroker() {
  cycle_.RemoveEventListener(mqtt_.get());
  armEvents_.Remove(mqtt_.get());
  mqtt_->SetArmControl(nullptr, {});
  mqtt_->Apply(typVardocam{});
}

// The request check then waits its interval: a mailbox that fails after
// the login is not asked again on every tick.
void MonitorSession::TickFailed(const std::string& what) {
  cycle_.PostponeRequestCheck();
  host_.listener.On(MonitorEvent::TickFailed(what));
}

bool MonitorSession::Start(std::unique_ptr<IMonitorCamera> camera, MonitorAtStart monitor, std::string* why) {
  cycle_.SetCamera(std::move(camera));
  if (IMonitorCamera* own = cycle_.Camera()) own->LoadFrame(kIdlePicture);
  const bool scheduled = arm_.ApplySchedule(AppSettings.ARM_SCHEDULE);
  switch (monitor) {
  case MonitorAtStart::No: return true;
  case MonitorAtStart::Once:
    if (cycle_.StartMonitoring()) return true;
    if (why) *why = CameraFailedNow(cycle_.Camera());
    return false;
  case MonitorAtStart::KeepTrying:
    // With a schedule the service watches in its windows only.
    return scheduled || arm_.KeepArmed(why);
  }
  return true;
}

// The broker's part is said here, where the link is known: the cycle
// only tells the listeners, the link among them, that a test began.
bool MonitorSession::TestAlarm(std::string* why) {
  if (!cycle_.TestAlarm(why)) return false;
  const MqttPublisher* publisher = mqtt_->Publisher();
  std::string line = "テスト警報: ";
  bool ok = true;
  if (AppSettings.MQTT_HOSTNAME.empty()) {
    line += "MQTTは使わない設定です";
  } else if (publisher && publisher->Counters().connected) {
    line += "MQTTブローカーに送りました（" + TestTopic(publisher->Prefix()) + "）";
  } else {
    line += "MQTTブローカーに接続していないため送れませんでした";
    ok = false;
  }
  host_.listener.On(MonitorEvent::TestAlarmStep(line, ok));
  // Just after the sound's end is due, whether or not ticks run.
  QTimer::singleShot(static_cast<int>(kTestAlarmSoundMs) + 1, &captureTimer_, [this] { cycle_.ServeTestAlarm(); });
  return true;
}

void MonitorSession::Stop() {
  cycle_.StopMonitoring();
}

void MonitorSession::Close() {
  idlePollTimer_.stop();
  // A host that stopped first (the window shows its idle picture itself)
  // is not stopped twice.
  if (cycle_.Monitoring()) Stop();
  cycle_.StopAlarmSound();
  // The broker hears that monitoring ended before it hears "offline".
  LeaveBroker();
  if (mailWorker_) mailWorker_->Close();
  // Inside a tick the object lives until that tick has ended.
  cycle_.ReleaseCamera();
}

// Nothing a tick throws goes further than this: the host decides what
// becomes of it, and the timer keeps running.
void MonitorSession::Tick() {
  // Asked for again from inside a tick (its message pump): that tick looks
  // for a waiting frame when it ends.
  if (cycle_.TickBusy()) {
    wakeMissed_ = true;
    return;
  }
  std::string message;
  if (!RunCatching([this] { cycle_.CaptureTimerTimer(); }, message)) TickFailed(message);
  arm_.AfterTick();
  PlanNextTick();
}

void MonitorSession::FrameArrived() {
  wakePosted_ = false;
  if (captureTimer_.isActive()) Tick();
}

// Without frame wakes the timer polls as it always did. With them, a frame
// that came during the tick is taken at once, and the timer waits for what
// is due next; every frame still wakes a tick of its own.
void MonitorSession::PlanNextTick() {
  if (!captureTimer_.isActive()) return;
  if (!cycle_.FrameWakes()) {
    if (captureTimer_.interval() != kCaptureIntervalMs) captureTimer_.start(kCaptureIntervalMs);
    return;
  }
  const bool missed = std::exchange(wakeMissed_, false);
  if ((missed || cycle_.Camera()->HasNewFrame()) && !wakePosted_.exchange(true))
    QMetaObject::invokeMethod(&captureTimer_, [this] { FrameArrived(); }, Qt::QueuedConnection);
  captureTimer_.start(static_cast<int>(cycle_.MsUntilNextDuty()));
}

// Kept mails go out while monitoring is off too: an alert is not lost
// because the user stopped watching. Without commands by mail a stopped
// monitor reads no mail, as it always did.
void MonitorSession::IdlePoll() {
  if (cycle_.Monitoring() || cycle_.TickBusy()) return;
  cycle_.ServeTestAlarm();
  cycle_.DeliverPendingMails();
  if (AppSettings.REMOTE_PIN.empty() || AppSettings.REMOTE_SENDERS.empty()) return;
  std::string message;
  if (!RunCatching([this] { cycle_.PollRequestsWhenDue(); }, message)) TickFailed(message);
  arm_.AfterTick();
}
