// The tray on a desktop without one (Qt's offscreen platform has no tray):
// minimising must stay an ordinary minimise, and the state is still kept.
#include <cstdlib>

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/Tray.h"
#include "settings/Vardocamdef.h"
#include "support/TempDir.h"

namespace {
class GuiEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "tray_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  void TearDown() override { delete app_; }

private:
  QApplication* app_ = nullptr;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

class TrayTest : public ::testing::Test {
protected:
  TrayTest() {
    setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    AppSettings = typVardocam{};
    menu = new QMenu(&window);
    disp = menu->addAction(QString::fromUtf8("防犯カメラ・ヴァルドを表示する(&S)"));
    menu->addSeparator();
    exit = menu->addAction(QString::fromUtf8("終了(&X)"));
    tray = new TTray(&window, menu, disp, exit);
  }
  void ShowWithTimer() {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    showAfter.setInterval(10);
    QObject::connect(&showAfter, &QTimer::timeout, tray, &TTray::ShowAfterTimerTimer);
    showAfter.start();
  }

  TempDir config;
  QMainWindow window;
  QMenu* menu;
  QAction* disp;
  QAction* exit;
  TTray* tray;
  QTimer showAfter;
};

TEST_F(TrayTest, WithoutATrayAMinimiseStaysOrdinaryAndTheStateIsKept) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  ShowWithTimer();
  window.showMinimized();
  QTest::qWait(50);
  EXPECT_TRUE(window.isVisible()) << "the window must not vanish without an icon";
  EXPECT_TRUE(window.isMinimized());
  EXPECT_FALSE(tray->Icon()->isVisible());
  EXPECT_TRUE(AppSettings.ISMINIMIZE);

  // Restored by the desktop: back on screen, and the timer leaves it there.
  window.showNormal();
  EXPECT_FALSE(AppSettings.ISMINIMIZE);
  QTest::qWait(50);
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(window.isVisible());
}

TEST_F(TrayTest, WithoutATrayAStartInTheTrayStateMinimisesOnTheFirstTick) {
  AppSettings.ISMINIMIZE = true;
  int ticks = 0;
  QObject::connect(&showAfter, &QTimer::timeout, [&] { ++ticks; });
  ShowWithTimer();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }, 1000));
  EXPECT_TRUE(window.isMinimized());
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(AppSettings.ISMINIMIZE);
}

} // namespace
