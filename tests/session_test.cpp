#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "session/MonitorSession.h"
#include "settings/Vardocamdef.h"
#include "support/MonitorFakes.h"

namespace {
QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "session_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

struct HostListener : IMonitorEvents {
  std::vector<std::string> heard;
  void MonitoringStarted(unsigned) override { heard.push_back("started"); }
  void RequestCheckDone(bool ok, int, const std::string& failure) override {
    heard.push_back(ok ? "checked" : "check failed: " + failure);
  }
};

// What both hosts rely on: the capture timer drives the cycle, the host's
// listener hears it, and an error that ends a tick goes to the host while
// monitoring goes on.
TEST(MonitorSession, TheTimerDrivesTheCycleAndATickErrorGoesToTheHost) {
  App();
  AppSettings = typVardocam();
  AppSettings.IS_CHECK = true;
  AppSettings.CHECK_INTERVAL = 0;
  CallLog log;
  FakePump pump(log);
  RecordingSound sound(log);
  RecordingMail mail(log);
  mail.onCheck = [] { throw std::runtime_error("POP3: -ERR mailbox locked"); };
  HostListener listener;
  std::vector<std::string> failures;
  MonitorSession session(MonitorHost{pump, sound, listener,
                                     [&](const std::string& what) { failures.push_back(what); }},
                         "", &mail);
  EXPECT_EQ(session.CaptureTimer().interval(), kCaptureIntervalMs);
  EXPECT_EQ(session.CaptureTimer().objectName(), "CaptureTimer");
  auto camera = std::make_unique<ScriptedCamera>(log);
  session.Cycle().SetCamera(std::move(camera));
  ASSERT_TRUE(session.Cycle().StartMonitoring());
  EXPECT_TRUE(session.CaptureTimer().isActive());

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (failures.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(failures.size(), 2u) << "each failing tick reaches the host, and ticks go on";
  EXPECT_EQ(failures[0], "POP3: -ERR mailbox locked");
  EXPECT_TRUE(session.CaptureTimer().isActive());
  EXPECT_FALSE(session.Cycle().TickBusy);
  EXPECT_GE(session.Cycle().FramesTaken(), 2u);
  ASSERT_GE(listener.heard.size(), 2u);
  EXPECT_EQ(listener.heard[0], "started");
  EXPECT_EQ(listener.heard[1], "check failed: POP3: -ERR mailbox locked");
  session.Cycle().StopMonitoring();
  AppSettings = typVardocam();
}
} // namespace
