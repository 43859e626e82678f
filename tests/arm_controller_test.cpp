#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "session/ArmController.h"

namespace {
QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "arm_controller_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  // The schedule's minutes below are UTC minutes.
  setenv("TZ", "UTC", 1);
  tzset();
  return app;
}

// The host as the controller sees it: monitoring on or off, a camera that
// opens or not, a tick that runs or not, and a wall clock set by the test.
struct FakeHost : IMonitorEvents {
  bool monitoring = false, cameraOpens = true, inTick = false;
  std::time_t now = 0;
  int starts = 0;
  std::vector<std::string> notices;

  ArmHost Host() {
    auto start = [this](std::string* why) {
      ++starts;
      if (!cameraOpens) *why = "カメラを開けません";
      return monitoring = cameraOpens;
    };
    return ArmHost{start, [this] { monitoring = false; }, [this] { return monitoring; },
                   [this] { return inTick; }, [this] { return now; }, {}};
  }
  void On(const MonitorEvent& event) override {
    if (event.kind == MonitorEvent::Kind::Notice || event.kind == MonitorEvent::Kind::CameraFailed)
      notices.push_back(event.text);
  }
};

// 2026-06-01 is a Monday; the clock reads UTC.
constexpr std::time_t kMonday0000 = 1780272000;
constexpr std::time_t kMinute = 60;

constexpr int kNotChecked = -2;

struct Step {
  const char* action;  // what happens, then the clock is looked at
  int atMinute;        // of Monday, when it happens
  bool monitoring;     // afterwards
  ArmedBy by;
  int untilMinute;     // -1: no until
  int nextStartMinute = kNotChecked;  // when it starts again by itself; -1: never
};

void RunSteps(const char* schedule, const std::vector<Step>& steps) {
  App();
  FakeHost host;
  host.now = kMonday0000;
  ArmController arm(host.Host(), host);
  arm.ApplySchedule(schedule);
  for (const Step& s : steps) {
    host.now = kMonday0000 + s.atMinute * kMinute;
    const std::string a = s.action;
    host.inTick = a == "tick begins" || (host.inTick && a != "tick ends");
    if (a == "button on") arm.Arm(ArmedBy::Button, nullptr);
    if (a == "button off") arm.Disarm(ArmedBy::Button);
    if (a == "house on") arm.Arm(ArmedBy::House, nullptr);
    if (a == "mail off") arm.Disarm(ArmedBy::MailCommand);
    if (a == "house snooze 30") arm.Snooze(30, ArmedBy::House);
    if (a == "tick ends") arm.AfterTick();
    arm.Check();
    const std::string where = std::string(schedule) + ": " + a + " at minute " + std::to_string(s.atMinute);
    EXPECT_EQ(host.monitoring, s.monitoring) << where;
    EXPECT_EQ(arm.State().by, s.by) << where;
    EXPECT_EQ(arm.State().untilEpochS, s.untilMinute < 0 ? 0 : kMonday0000 + s.untilMinute * kMinute) << where;
    if (s.nextStartMinute != kNotChecked) {
      EXPECT_EQ(arm.NextStart(), s.nextStartMinute < 0 ? 0 : kMonday0000 + s.nextStartMinute * kMinute) << where;
    }
    // The timer never sleeps past the next thing to do, nor past the recheck.
    if (arm.Timer().isActive()) {
      EXPECT_LE(arm.Timer().interval(), kArmRecheckMs) << where;
    }
  }
}

TEST(ArmController, EdgesArmAndDisarmAndAManualSwitchHoldsUntilTheNextEdge) {
  RunSteps("月-金 08:00-18:00",
      {
          {"", 7 * 60, false, ArmedBy::Schedule, 8 * 60},
          {"", 8 * 60, true, ArmedBy::Schedule, 18 * 60},
          {"button off", 9 * 60, false, ArmedBy::Button, 18 * 60},
          {"button on", 19 * 60, true, ArmedBy::Button, 32 * 60},
          // Tuesday's start changes nothing but who holds it.
          {"", 32 * 60, true, ArmedBy::Schedule, 42 * 60},
          {"", 42 * 60, false, ArmedBy::Schedule, 56 * 60},
      });
}

TEST(ArmController, SnoozeEndsAsItWasOrAtAnEdge) {
  RunSteps("月-金 08:00-18:00",
      {
          {"", 9 * 60, true, ArmedBy::Schedule, 18 * 60},
          {"house snooze 30", 10 * 60, false, ArmedBy::House, 10 * 60 + 30},
          {"", 10 * 60 + 30, true, ArmedBy::Schedule, 18 * 60},
          // A snooze past the edge gives way to the schedule there.
          {"house snooze 30", 17 * 60 + 50, false, ArmedBy::House, 18 * 60},
          {"", 18 * 60, false, ArmedBy::Schedule, 32 * 60},
      });
  // Without a schedule the buttons hold as they always did; a snooze ends
  // after its minutes.
  RunSteps("",
      {
          {"house on", 60, true, ArmedBy::House, -1},
          {"house snooze 30", 70, false, ArmedBy::House, 100},
          {"", 100, true, ArmedBy::House, -1},
      });
}

// Off, it knows when monitoring starts again by itself: a window, a snooze's end, or never.
TEST(ArmController, OffItKnowsWhenMonitoringStartsAgainByItself) {
  RunSteps("月-金 08:00-18:00",
      {
          {"", 7 * 60, false, ArmedBy::Schedule, 8 * 60, 8 * 60},
          {"", 8 * 60, true, ArmedBy::Schedule, 18 * 60, -1},
          {"house snooze 30", 9 * 60, false, ArmedBy::House, 9 * 60 + 30, 9 * 60 + 30},
          // Off by hand in a window: Tuesday's start ends it, not the window's end.
          {"button off", 10 * 60, false, ArmedBy::Button, 18 * 60, 32 * 60},
          {"", 18 * 60, false, ArmedBy::Schedule, 32 * 60, 32 * 60},
          // A snooze of what was off ends off: the schedule decides.
          {"house snooze 30", 19 * 60, false, ArmedBy::House, 19 * 60 + 30, 32 * 60},
      });
  RunSteps("", {{"house on", 60, true, ArmedBy::House, -1, -1},
                {"house snooze 30", 70, false, ArmedBy::House, 100, 100},
                {"button off", 80, false, ArmedBy::Button, -1, -1}});
}

// A command from inside a tick (a mail, the house's message during the
// tick's message pump) is told at once and done when the tick ends.
TEST(ArmController, CommandsInsideATickAreDoneAfterIt) {
  RunSteps("",
      {
          {"tick begins", 1, false, ArmedBy::Nobody, -1},
          {"house on", 2, false, ArmedBy::House, -1},
          {"tick ends", 3, true, ArmedBy::House, -1},
          {"tick begins", 4, true, ArmedBy::House, -1},
          {"mail off", 5, true, ArmedBy::MailCommand, -1},
          // The window's buttons still act at once, as they always did.
          {"button on", 6, true, ArmedBy::Button, -1},
          {"mail off", 7, true, ArmedBy::MailCommand, -1},
          {"tick ends", 8, false, ArmedBy::MailCommand, -1},
      });
}

// An edge that finds no camera says so once and tries again at the retry
// interval until the camera opens; a command gets why at once.
TEST(ArmController, AnEdgeWithoutACameraSaysSoOnceAndTriesAgain) {
  App();
  FakeHost host;
  host.now = kMonday0000 + 8 * 60 * kMinute;
  host.cameraOpens = false;
  ArmController arm(host.Host(), host);
  ASSERT_TRUE(arm.ApplySchedule("月 08:00-18:00"));
  EXPECT_TRUE(arm.State().armed);
  EXPECT_EQ(arm.Timer().interval(), static_cast<int>(kCameraRetryFirstMs));
  host.now += kCameraRetryFirstMs / 1000;
  arm.Check();
  EXPECT_EQ(host.starts, 2);
  // The wait grew, and that is said: the one retry of the monitor, as the
  // service's start uses it too.
  EXPECT_EQ(arm.Timer().interval(), static_cast<int>(NextCameraRetryWait(kCameraRetryFirstMs)));
  ASSERT_EQ(host.notices.size(), 2u);
  EXPECT_NE(host.notices[0].find("カメラを開けません"), std::string::npos) << host.notices[0];
  host.cameraOpens = true;
  arm.Check();
  EXPECT_TRUE(host.monitoring);
  host.cameraOpens = false;
  arm.Disarm(ArmedBy::House);
  std::string why;
  EXPECT_FALSE(arm.Arm(ArmedBy::House, &why));
  EXPECT_EQ(why, "カメラを開けません");
  EXPECT_FALSE(arm.State().armed);
  // A schedule that does not parse is said once and counts as none; a
  // snooze is kept within its bound.
  EXPECT_FALSE(arm.ApplySchedule("月 25:00-26:00"));
  EXPECT_FALSE(arm.ApplySchedule("月 25:00-26:00"));
  EXPECT_EQ(host.notices.size(), 3u);
  arm.Snooze(kMaxSnoozeMinutes + 100, ArmedBy::House);
  EXPECT_EQ(arm.State().untilEpochS, host.now + kMaxSnoozeMinutes * kMinute);
}
} // namespace
