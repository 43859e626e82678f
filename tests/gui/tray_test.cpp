// The tray on a desktop without one (Qt's offscreen platform has no tray):
// minimising must stay an ordinary minimise, and the state is still kept.
#include <cstdlib>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QMainWindow>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/Tray.h"
#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"
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

// Records the close, as the main window's closing handlers would see it.
class Window : public QMainWindow {
public:
  std::vector<std::string>* log = nullptr;

protected:
  void closeEvent(QCloseEvent* event) override {
    if (log) log->push_back("close");
    event->accept();
  }
};

class TrayTest : public ::testing::Test {
protected:
  TrayTest() {
    setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    AppSettings = typVardocam{};
    window.log = &log;
    menu = new QMenu(&window);
    disp = menu->addAction(QString::fromUtf8("防犯カメラ・ヴァルドを表示する(&S)"));
    menu->addSeparator();
    exit = menu->addAction(QString::fromUtf8("終了(&X)"));
    TTray::Hooks hooks;
    hooks.SaveSettings = [this] {
      log.push_back("save");
      SaveSettings();
    };
    tray = new TTray(&window, menu, disp, exit, hooks);
  }
  ~TrayTest() override {
    if (menu->isVisible()) menu->close();
  }

  void ShowWithTimer() {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    showAfter.setInterval(10);
    QObject::connect(&showAfter, &QTimer::timeout, tray, &TTray::ShowAfterTimerTimer);
    showAfter.start();
  }

  TempDir config;
  std::vector<std::string> log;
  Window window;
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

TEST_F(TrayTest, TheMenuAppearsAtTheCursorAndItsShowEntryRestores) {
  ShowWithTimer();
  window.showMinimized();
  QTest::qWait(20);
  QCursor::setPos(300, 200);
  tray->TrayIconMessage(QSystemTrayIcon::Context);
  ASSERT_TRUE(menu->isVisible());
  EXPECT_EQ(menu->pos(), QPoint(300, 200));
  ASSERT_EQ(menu->actions().size(), 3);
  EXPECT_TRUE(menu->actions()[1]->isSeparator());

  disp->trigger();
  menu->close();
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(AppSettings.ISMINIMIZE);

  // The rest of a double click, and the middle button, change nothing.
  tray->TrayIconMessage(QSystemTrayIcon::DoubleClick);
  tray->TrayIconMessage(QSystemTrayIcon::MiddleClick);
  EXPECT_FALSE(menu->isVisible());
  EXPECT_FALSE(AppSettings.ISMINIMIZE);
  EXPECT_TRUE(window.isVisible());
}

TEST_F(TrayTest, ExitFromTheMenuSavesTheTrayStateAndPositionThenCloses) {
  ShowWithTimer();
  window.move(123, 45);
  window.showMinimized();
  QTest::qWait(20);
  ASSERT_TRUE(AppSettings.ISMINIMIZE);

  exit->trigger();
  EXPECT_EQ(log, (std::vector<std::string>{"save", "close"}));
  EXPECT_FALSE(window.isVisible());
  typVardocam saved;
  LoadSettingsFrom(ZBRegIni(ZBRegIni::DefaultFilePath()), saved);
  EXPECT_TRUE(saved.ISMINIMIZE) << "the next start goes back into the tray";
  EXPECT_EQ(saved.WINDOW_LEFT, 123);
  EXPECT_EQ(saved.WINDOW_TOP, 45);

  // Ended: the timer no longer brings anything back.
  QTest::qWait(50);
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(tray->Icon()->isVisible());
}
} // namespace
