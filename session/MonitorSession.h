#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QTimer>

#include "monitor/MonitorEvents.h"
#include "monitor/MonitorServices.h"
#include "monitor/MonitoringCycle.h"
#include "platform/Sound.h"
#include "session/ArmController.h"
#include "session/MailWorker.h"

class MonitorMail;
class MqttLink;

// While monitoring is off and commands by mail are set up, the request
// mailbox is still read when due (checked this often), so that a 監視開始
// by mail can arrive.
constexpr int kIdleRequestPollMs = 1000;

// What a host hands the monitor: how its user gets a word in during a tick,
// how the alarm sounds, and who hears what the monitor does, an error that
// ends a tick among it (the window shows it, a service logs it).
struct MonitorHost {
  IMessagePump& pump;
  ISoundPlayer& sound;
  IMonitorEvents& listener;
};

// How a start of the monitor switches monitoring when no schedule decides:
// not at all, one try (false with why when the camera does not open), or
// on until the camera opens, tried again after growing waits.
enum class MonitorAtStart { No, Once, KeepTrying };

// One monitor, the same for the window and the service: the monitoring
// cycle, its capture timer, the mail worker, the MQTT link and the fan-out
// of events to the host's listener and the link. Qt Core only.
class MonitorSession {
public:
  // `mail` defaults to the real mails, which run on the mail worker. Mails
  // given (not owned; tests and tools) run at once inside the tick, as
  // their fakes answer at once. `timerOwner` parents the capture timer, so
  // that a window finds it among its own.
  MonitorSession(const MonitorHost& host, std::string profile, IMonitorMail* mail = nullptr,
                 QObject* timerOwner = nullptr);
  ~MonitorSession();
  MonitorSession(const MonitorSession&) = delete;
  MonitorSession& operator=(const MonitorSession&) = delete;

  MonitoringCycle& Cycle() { return cycle_; }
  QTimer& CaptureTimer() { return captureTimer_; }
  IMonitorCamera* Camera() const { return cycle_.Camera(); }
  // Switching monitoring on and off: buttons, schedule, mail and house.
  IArmControl& Arm() { return arm_; }
  ArmController& Arming() { return arm_; }

  // Connects to the broker of the settings as they are now (each start of
  // monitoring reads them again); before this call events reach no broker.
  void ConnectBroker();
  // Says goodbye to the broker: no further event reaches it.
  void LeaveBroker();

  // The monitor's start, the same way for every host: the camera taken and
  // its idle picture loaded, then the schedule of the settings followed
  // (a start at once then holds until its next edge) and monitoring
  // switched on as `monitor` says. False, with why, when one try found no camera.
  bool Start(std::unique_ptr<IMonitorCamera> camera, MonitorAtStart monitor, std::string* why);
  // Monitoring off, the same way for every host: an event still open is
  // finished and said, the alarm silenced, the camera closed and the idle
  // picture shown.
  void Stop();
  // The end of the monitor: Stop (when still monitoring), the broker told and left, the mail under
  // way ended at once (its waits cancelled; what is kept for resending is
  // kept) and its thread joined, the camera released. Within a second
  // whatever a server does.
  void Close();
  // A test alarm (MonitoringCycle::TestAlarm), with the broker's part said
  // and the sound stopped on time while monitoring is off. False, with
  // why, when refused.
  bool TestAlarm(std::string* why);
  // Mails asked for and not yet done (0 with mails that run at once).
  size_t MailsPending() const { return mailWorker_ ? mailWorker_->Pending() : 0; }
private:
  class TimerAdapter : public IMonitorTimer {
  public:
    explicit TimerAdapter(QTimer& timer) : timer_(timer) {}
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return timer_.isActive(); }

  private:
    QTimer& timer_;
  };

  void Tick();
  void IdlePoll();
  void TickFailed(const std::string& what);
  // A camera that tells of its frames wakes the tick; the timer then only
  // covers what falls due between frames.
  void FrameArrived();
  void PlanNextTick();

  MonitorHost host_;
  QTimer captureTimer_;
  QTimer idlePollTimer_;
  std::atomic<bool> wakePosted_{false};
  bool wakeMissed_ = false;  // a frame came while a tick was under way
  TimerAdapter timer_{captureTimer_};
  std::unique_ptr<MonitorMail> ownMail_;
  MonitoringCycle cycle_;
  // Declared after the cycle: gone first, with the outcomes not yet taken.
  std::unique_ptr<MailWorker> mailWorker_;
  std::unique_ptr<MqttLink> mqtt_;
  // Who hears of arming: the host's listener and the broker.
  MonitorEventFanout armEvents_;
  ArmController arm_;
};
