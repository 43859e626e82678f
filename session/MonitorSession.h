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

class MonitorMail;
class MqttLink;

// While monitoring is off and commands by mail are set up, the request
// mailbox is still read when due (checked this often), so that a 監視開始
// by mail can arrive.
constexpr int kIdleRequestPollMs = 1000;

// What a host hands the monitor: how its user gets a word in during a tick,
// how the alarm sounds, who hears what the cycle does, and what becomes of
// an error that ends a tick (the window shows it, a service logs it).
struct MonitorHost {
  IMessagePump& pump;
  ISoundPlayer& sound;
  IMonitorEvents& listener;
  std::function<void(const std::string& what)> tickFailed;
  // How the host switches monitoring as its own buttons do (the window
  // clears its picture); the cycle's own start and stop when not given.
  std::function<bool(std::string* why)> startMonitoring = {};
  std::function<void()> stopMonitoring = {};
};

// One monitor, the same for the window and the service: the monitoring
// cycle, its 10 ms capture timer, the mails, the MQTT link and the fan-out
// of events to the host's listener and the link. Qt Core only.
class MonitorSession {
public:
  // `mail` defaults to the real mails (not owned when given). `timerOwner`
  // parents the capture timer, so that a window finds it among its own.
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
  // A camera that tells of its frames wakes the tick; the timer then only
  // covers what falls due between frames.
  void FrameArrived();
  void PlanNextTick();

  // The host as the session keeps it: its listener behind a fan-out of one.
  // Old spellings, kept until the cycle's emitters are converted: the
  // session's own calls of the old event names reach the fan-out's.
  struct HeldHost {
    explicit HeldHost(const MonitorHost& host) : tickFailed(host.tickFailed) { listener.Add(&host.listener); }
    MonitorEventFanout listener;
    std::function<void(const std::string& what)> tickFailed;
  };
  HeldHost host_;
  QTimer captureTimer_;
  QTimer idlePollTimer_;
  std::atomic<bool> wakePosted_{false};
  bool wakeMissed_ = false;  // a frame came while a tick was under way
  TimerAdapter timer_{captureTimer_};
  std::unique_ptr<MonitorMail> ownMail_;
  MonitoringCycle cycle_;
  std::unique_ptr<MqttLink> mqtt_;
  // Who hears of arming: the host's listener and the broker.
  MonitorEventFanout armEvents_;
  ArmController arm_;
};
