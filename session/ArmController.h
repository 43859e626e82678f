#pragma once
#include <ctime>
#include <functional>
#include <string>

#include <QObject>
#include <QTimer>

#include "monitor/ArmControl.h"
#include "monitor/ArmSchedule.h"
#include "monitor/MonitorEvents.h"

// A camera that would not open when monitoring was wanted (an edge of the
// schedule, the service's start) is tried again after this wait, doubled
// after each failed try up to the ceiling: soon for a camera that is just
// booting, rarely for one that is away for days. The one retry of the monitor.
constexpr uint32_t kCameraRetryFirstMs = 1000;
constexpr uint32_t kCameraRetryMaxMs = 60000;
uint32_t NextCameraRetryWait(uint32_t waitMs);
// The wall clock is looked at at least this often: a machine that slept or
// a clock set by hand moves it without a timer noticing.
constexpr int kArmRecheckMs = 60 * 1000;

// What the controller needs of its host: monitoring switched on and off
// the way the host's own buttons do it, and the clocks.
struct ArmHost {
  // False, with why in words a user can act on, when the camera does not open.
  std::function<bool(std::string* why)> start;
  std::function<void()> stop;
  std::function<bool()> monitoring;
  // True while a tick runs: a switch asked for then waits for AfterTick.
  std::function<bool()> inTick;
  // Local wall time, for the schedule.
  std::function<std::time_t()> now;
  // A test alarm, as the host makes one; none: refused.
  std::function<bool(std::string* why)> testAlarm;
};

// Who switched monitoring on or off, until when, and what comes next: the
// schedule's edges, a snooze's end, the buttons, mail and house commands.
// A manual switch or a command holds until the schedule's next edge; with
// no schedule it holds, as the buttons always did. Qt Core only.
class ArmController : public IArmControl, public IMonitorEvents {
public:
  // `events` hears every change of arming and the notices (not owned).
  ArmController(ArmHost host, IMonitorEvents& events);
  ArmController(const ArmController&) = delete;
  ArmController& operator=(const ArmController&) = delete;

  // The schedule of ARM_SCHEDULE's text. A text that does not parse is said
  // once (Notice) and counts as none. With a schedule, monitoring follows it
  // from now on. True when a schedule is in force.
  bool ApplySchedule(const std::string& text);
  const ArmSchedule& Schedule() const { return schedule_; }

  bool Arm(ArmedBy by, std::string* why) override;
  // Monitoring on for the host's own reason (the service's start): a camera
  // that does not open is tried again, as for the schedule, until it opens
  // or monitoring is switched off. False when it did not open at once.
  bool KeepArmed(std::string* why);
  void Disarm(ArmedBy by) override;
  void Snooze(int minutes, ArmedBy by) override;
  ArmState State() const override { return state_; }
  // Arming stays as it is.
  bool TestAlarm(std::string* why) override {
    return host_.testAlarm ? host_.testAlarm(why) : IArmControl::TestAlarm(why);
  }
  // When monitoring, off now, starts again by itself: a snooze's end, else
  // the schedule's next window after what holds now; 0 when it stays off
  // (or is on).
  std::time_t NextStart() const;

  // Looks at the clock: an edge passed, a snooze ended, a camera to try
  // again. The timer's work; tests call it after moving their clock.
  void Check();
  // Does what a tick asked for, once the tick has ended.
  void AfterTick();
  // The timer for the next look at the clock (tests read its interval).
  const QTimer& Timer() const { return timer_; }

  // Monitoring switched by someone else (the option dialog stops it, a
  // service starts it): that holds like a button until the next edge.
  void On(const MonitorEvent& event) override;

private:
  std::time_t HoldUntil(std::time_t now) const;
  void FollowSchedule(std::time_t now);
  // Sets the state, tells it, and switches monitoring now or after the tick.
  bool Set(bool armed, ArmedBy by, std::time_t until, std::string* why, bool atOnce = false,
           bool keepTrying = false);
  // A wanted start failed: the next try after a longer wait, said when it grew.
  void RetryLater(const std::string& why);
  // Brings monitoring in line with the state; false (with why) when the
  // camera does not open.
  bool Realise(std::string* why);
  void Record(bool armed);
  void Tell();
  void Reschedule();

  ArmHost host_;
  IMonitorEvents& events_;
  ArmSchedule schedule_;
  std::string badScheduleSaid_;
  ArmState state_;
  ArmState told_;
  // The moment the state gives way to the schedule again (0: never).
  std::time_t holdUntil_ = 0;
  // A snooze: when it ends, and what it returns to.
  std::time_t snoozeEnd_ = 0;
  bool snoozeWasArmed_ = false;
  ArmedBy snoozeBy_ = ArmedBy::Nobody;
  bool pending_ = false;      // a switch waits for the tick's end
  bool realising_ = false;    // our own start or stop is under way
  bool retrying_ = false;     // a wanted start waits for the camera
  uint32_t retryWaitMs_ = 0;  // the wait before its next try; 0 before the first failure
  QTimer timer_;
};
