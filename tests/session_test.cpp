#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "session/MonitorSession.h"
#include "settings/Vardocamdef.h"
#include "support/LoopbackPort.h"
#include "support/MonitorFakes.h"
#include "support/ScriptedServer.h"

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
  std::vector<std::string> failures;  // errors that ended a tick
  void On(const MonitorEvent& e) override {
    switch (e.kind) {
    case MonitorEvent::Kind::MonitoringStarted: heard.push_back("started"); break;
    case MonitorEvent::Kind::MonitoringStopped: heard.push_back("stopped"); break;
    case MonitorEvent::Kind::ArmChanged:
      if (e.arm.by != ArmedBy::Nobody)
        heard.push_back(std::string(e.arm.armed ? "armed" : "disarmed") + " by " + ArmedByText(e.arm.by));
      break;
    case MonitorEvent::Kind::RequestCheckDone: heard.push_back(e.ok ? "checked" : "check failed: " + e.text); break;
    case MonitorEvent::Kind::AlertMailDone: heard.push_back(e.sent ? "mail sent" : "mail failed: " + e.text); break;
    case MonitorEvent::Kind::TickFailed: failures.push_back(e.text); break;
    default: break;
    }
  }
};

bool Heard(const HostListener& listener, const std::string& start) {
  for (const std::string& h : listener.heard)
    if (h.rfind(start, 0) == 0) return true;
  return false;
}

// A camera that tells of its frames, as the real capture does: frames come
// from another thread, each wakes the session.
class WakingCamera : public ScriptedCamera {
public:
  using ScriptedCamera::ScriptedCamera;
  void SetFrameWake(std::function<void()> wake) override { wake_ = std::move(wake); }
  bool WakesOnFrames() override { return true; }
  bool HasNewFrame() override { return taken < published; }
  FrameTake GrabFrame(const std::string&) override {
    if (taken == published) return FrameTake::None;
    taken = published.load();
    return FrameTake::Written;
  }
  void Publish() {
    ++published;
    if (wake_) wake_();
  }
  std::atomic<int> published{0};
  std::atomic<int> taken{0};

private:
  std::function<void()> wake_;
};

// Woken by each frame, the session takes every one once, and the timer
// only covers what falls due between frames instead of polling.
TEST(MonitorSession, FramesWakeTheTickAndEachIsTakenOnce) {
  App();
  AppSettings = typVardocam();
  CallLog log;
  FakePump pump(log);
  RecordingSound sound(log);
  RecordingMail mail(log);
  HostListener listener;
  MonitorSession session(MonitorHost{pump, sound, listener}, "", &mail);
  auto owned = std::make_unique<WakingCamera>(log);
  WakingCamera* camera = owned.get();
  session.Cycle().SetCamera(std::move(owned));
  ASSERT_TRUE(session.Cycle().StartMonitoring());
  constexpr int kFrames = 20;
  std::thread reader([camera] {
    for (int i = 0; i < kFrames; ++i) {
      camera->Publish();
      while (camera->taken < camera->published) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (camera->taken < kFrames && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  reader.join();
  EXPECT_EQ(session.Cycle().FramesTaken(), static_cast<uint64_t>(kFrames));
  EXPECT_EQ(session.CaptureTimer().interval(), static_cast<int>(kMaxTickSleepMs));
  session.Cycle().StopMonitoring();
  AppSettings = typVardocam();
}

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
  const std::vector<std::string>& failures = listener.failures;
  MonitorSession session(MonitorHost{pump, sound, listener}, "", &mail);
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
  EXPECT_FALSE(session.Cycle().TickBusy());
  EXPECT_GE(session.Cycle().FramesTaken(), 2u);
  ASSERT_GE(listener.heard.size(), 2u);
  EXPECT_EQ(listener.heard[0], "started");
  EXPECT_EQ(listener.heard[1], "check failed: POP3: -ERR mailbox locked");
  session.Cycle().StopMonitoring();
  AppSettings = typVardocam();
}

// A command from inside a tick (a mail read by the request check) is told
// at once and switches monitoring when the tick has ended, through the
// session's own timer: both hosts get that without wiring it themselves.
TEST(MonitorSession, ACommandInsideATickSwitchesAfterIt) {
  App();
  AppSettings = typVardocam();
  AppSettings.IS_CHECK = true;
  AppSettings.CHECK_INTERVAL = 0;
  CallLog log;
  FakePump pump(log);
  RecordingSound sound(log);
  RecordingMail mail(log);
  HostListener listener;
  MonitorSession session(MonitorHost{pump, sound, listener}, "", &mail);
  bool monitoringInTick = false;
  mail.onCheck = [&] {
    if (!session.Arm().State().armed) return;
    session.Arm().Disarm(ArmedBy::MailCommand);
    monitoringInTick = session.Cycle().Monitoring();
  };
  session.Cycle().SetCamera(std::make_unique<ScriptedCamera>(log));
  ASSERT_TRUE(session.Arm().Arm(ArmedBy::House, nullptr));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (session.Cycle().Monitoring() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(monitoringInTick);
  EXPECT_FALSE(session.Cycle().Monitoring());
  std::vector<std::string> arming;
  for (const std::string& h : listener.heard)
    if (h != "checked") arming.push_back(h);
  EXPECT_EQ(arming, (std::vector<std::string>{"started", "armed by 家からの指示", "disarmed by メールでの指示",
                                                      "stopped"}));
  // Stopped, kept mails still get their turn.
  const int turns = mail.pendingTurns;
  const auto turned = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (mail.pendingTurns == turns && std::chrono::steady_clock::now() < turned)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_GT(mail.pendingTurns, turns);
  // And the mailbox is still read once commands by mail are set up.
  AppSettings.REMOTE_PIN = "1234";
  AppSettings.REMOTE_SENDERS = "owner@home.test";
  mail.onCheck = [&] { session.Arm().Arm(ArmedBy::MailCommand, nullptr); };
  const auto rearmed = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!session.Cycle().Monitoring() && std::chrono::steady_clock::now() < rearmed)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(session.Cycle().Monitoring());
  session.Cycle().StopMonitoring();
  AppSettings = typVardocam();
}
// The real mails run on the mail worker: a server that drips or says
// nothing holds neither the tick nor the stop, and an outcome comes back as
// an event of the session's own thread.
TEST(MonitorSession, MailsWaitOnTheWorkerAndTheCloseEndsThem) {
  App();
  struct Row {
    const char* name;
    bool pop3;         // the request mailbox, else the alert mail
    bool answers;      // a server that drips or never answers, else none at all
    const char* said;  // what the listener hears once the outcome is back
  } rows[] = {
      {"an SMTP server that answers a byte a second", false, true, nullptr},
      {"a POP3 server that never answers", true, true, nullptr},
      {"no SMTP server at all", false, false, "mail failed: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server;
    server.Drip(row.pop3 ? "+OK drip.test\r\n" : "220 drip.test ESMTP\r\n", 1000);
    server.Start();
    const int port = row.answers ? std::stoi(server.Port()) : FreeLoopbackPort();
    AppSettings = typVardocam();
    AppSettings.START_MOVE_OBJECT = 0;
    AppSettings.USEMAIL = !row.pop3;
    AppSettings.MAIL_HOSTNAME = AppSettings.MAIL_R_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_PORTNUMBER = AppSettings.MAIL_R_PORTNUMBER = port;
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = "owner@mail.test";
    AppSettings.IS_CHECK = row.pop3;
    AppSettings.CHECK_INTERVAL = 0;
    CallLog log;
    FakePump pump(log);
    RecordingSound sound(log);
    HostListener listener;
    MonitorSession session(MonitorHost{pump, sound, listener}, "");
    auto owned = std::make_unique<ScriptedCamera>(log);
    ScriptedCamera* camera = owned.get();
    session.Cycle().SetCamera(std::move(owned));
    ASSERT_TRUE(session.Cycle().StartMonitoring());
    session.Cycle().CaptureTimerTimer();  // the reference
    camera->motion = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // past the warm-up of 0 s
    session.Cycle().CaptureTimerTimer();
    // The tick is over and its mail still on its way: nothing waited for it.
    if (row.answers) {
      EXPECT_GE(session.MailsPending(), 1u);
    }
    EXPECT_NE(session.Cycle().AlarmStartTick(), 0u) << "the alarm did not wait for the mail";
    if (row.said) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!Heard(listener, row.said) && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      EXPECT_TRUE(Heard(listener, row.said));
    }
    const auto closing = std::chrono::steady_clock::now();
    session.Close();
    const auto closeMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closing).count();
    EXPECT_LT(closeMs, kMailCloseMs);
    EXPECT_EQ(session.MailsPending(), 0u);
    EXPECT_FALSE(session.Cycle().Monitoring());
  }
  AppSettings = typVardocam();
}
} // namespace
