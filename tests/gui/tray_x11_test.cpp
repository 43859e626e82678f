// The tray on a real X display with a tray host: the icon, its tip, its
// clicks and menu, the exit from it, and a tray host that goes and comes back.
#include <memory>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QWindow>
#include <QTimer>
#include <QToolTip>

#include <gtest/gtest.h>

#include "ProgramFolders.h"
#include "QtTestApp.h"
#include "X11Session.h"
#include "app/Mainfrm.h"
#include "app/Tray.h"
#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"
#include "support/ChildProcess.h"
#include "support/SettingsFile.h"
#include "support/TempDir.h"

namespace {
X11Session* session = nullptr;

class X11Environment : public ::testing::Environment {
public:
  void SetUp() override {
    session = new X11Session;
    session->StartTrayHost();
    app_ = NewTestApp();
  }
  void TearDown() override {
    delete app_;
    delete session;
    session = nullptr;
  }

private:
  QApplication* app_ = nullptr;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new X11Environment);

constexpr int kWaitMs = 5000;

int IconsInTrayHost() { return static_cast<int>(TrayHostIcons().size()); }

class TrayX11Test : public ::testing::Test {
protected:
  TrayX11Test() {
    setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    AppSettings = typVardocam{};
    QPixmap pixmap(32, 32);
    pixmap.fill(QColor(0, 0, 77));
    window.setWindowIcon(QIcon(pixmap));
    window.resize(320, 200);
    menu = new QMenu(&window);
    disp = menu->addAction(QString::fromUtf8("防犯カメラ・ヴァルドを表示する(&S)"));
    menu->addSeparator();
    exit = menu->addAction(QString::fromUtf8("終了(&X)"));
    tray = new TTray(&window, menu, disp, exit);
    QObject::connect(&showAfter, &QTimer::timeout, tray, &TTray::ShowAfterTimerTimer);
    showAfter.setInterval(10);
  }

  void SetUp() override {
    session->StartTrayHost();
    ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, kWaitMs));
  }

  void Show() {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    showAfter.start();
  }

  // Shown in the tray host and exposed there, so that clicks reach it.
  bool Docked() const {
    if (!tray->Icon()->isVisible() || tray->Icon()->geometry().isEmpty()) return false;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->inherits("QSystemTrayIconSys") && widget->windowHandle() &&
          widget->windowHandle()->isExposed())
        return true;
    return false;
  }

  void MinimiseIntoTheTray() {
    window.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([this] { return Docked() && !window.isVisible(); }, kWaitMs));
  }

  QPoint IconCentre() const { return tray->Icon()->geometry().center(); }

  // Opens the icon's menu with the right button and picks an entry with the left.
  bool OpenMenu() {
    Click(IconCentre(), "3");
    return QTest::qWaitFor([this] { return menu->isVisible(); }, kWaitMs) &&
           QTest::qWaitForWindowExposed(menu);
  }
  void Pick(QAction* entry) {
    Click(menu->mapToGlobal(menu->actionGeometry(entry).center()), "1");
  }

  TempDir config;
  QMainWindow window;
  QMenu* menu;
  QAction* disp;
  QAction* exit;
  TTray* tray;
  QTimer showAfter;
};

TEST_F(TrayX11Test, AMinimiseHidesTheWindowAndDocksTheIconWithItsTip) {
  Show();
  EXPECT_EQ(IconsInTrayHost(), 0);
  MinimiseIntoTheTray();
  EXPECT_TRUE(AppSettings.ISMINIMIZE);
  EXPECT_EQ(IconsInTrayHost(), 1);

  RunTool("xdotool", {"mousemove", QString::number(IconCentre().x()), QString::number(IconCentre().y())});
  ASSERT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, kWaitMs));
  EXPECT_EQ(QToolTip::text(), QString::fromUtf8("防犯カメラ・ヴァルド"));

  // Kept there by the timer, with one icon only.
  QTest::qWait(100);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(IconsInTrayHost(), 1);
}

TEST_F(TrayX11Test, ADoubleClickRestoresOnItsFirstPressAndRemovesTheIcon) {
  Show();
  MinimiseIntoTheTray();
  const QPoint at = IconCentre();
  RunTool("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click",
                  "--repeat", "2", "--delay", "80", "1"});
  ASSERT_TRUE(QTest::qWaitFor([this] { return window.isVisible(); }, kWaitMs));
  QTest::qWait(200);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
  EXPECT_FALSE(AppSettings.ISMINIMIZE);
  EXPECT_FALSE(tray->Icon()->isVisible());
  EXPECT_TRUE(QTest::qWaitFor([] { return IconsInTrayHost() == 0; }, kWaitMs));
}

TEST_F(TrayX11Test, TheRightButtonShowsTheMenuAtTheCursorAndItsShowEntryRestores) {
  Show();
  MinimiseIntoTheTray();
  const QPoint cursor = IconCentre();
  ASSERT_TRUE(OpenMenu());
  EXPECT_EQ(menu->pos(), cursor);
  EXPECT_EQ(menu->actions()[0]->text(), QString::fromUtf8("防犯カメラ・ヴァルドを表示する(&S)"));
  EXPECT_TRUE(menu->actions()[1]->isSeparator());
  EXPECT_EQ(menu->actions()[2]->text(), QString::fromUtf8("終了(&X)"));

  Pick(disp);
  ASSERT_TRUE(QTest::qWaitFor([this] { return window.isVisible(); }, kWaitMs));
  EXPECT_FALSE(menu->isVisible());
  EXPECT_FALSE(AppSettings.ISMINIMIZE);
}

TEST_F(TrayX11Test, AMessageBoxClosedWhileInTheTrayDoesNotEndTheProgram) {
  Show();
  MinimiseIntoTheTray();
  bool stillRunning = false;
  QTimer::singleShot(0, [&] {
    auto* box = new QMessageBox(QMessageBox::Information, "vardocam", "test");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    QTimer::singleShot(100, box, &QWidget::close);
  });
  QTimer::singleShot(600, [&] {
    stillRunning = true;
    qApp->quit();
  });
  qApp->exec();
  EXPECT_TRUE(stillRunning) << "closing the box ended the program";
  EXPECT_FALSE(window.isVisible());
}

TEST_F(TrayX11Test, WhenTheTrayHostGoesTheWindowComesBackAndReturnsWithTheHost) {
  Show();
  MinimiseIntoTheTray();
  session->StopTrayHost();
  ASSERT_TRUE(QTest::qWaitFor([this] { return window.isVisible(); }, kWaitMs))
      << "no icon and no window";
  EXPECT_TRUE(window.isMinimized());
  EXPECT_TRUE(AppSettings.ISMINIMIZE);

  session->StartTrayHost();
  ASSERT_TRUE(QTest::qWaitFor([this] { return Docked() && !window.isVisible(); }, kWaitMs));
  EXPECT_TRUE(QTest::qWaitFor([] { return IconsInTrayHost() == 1; }, kWaitMs));
}

TEST(TrayMainForm, MinimisingTheMainWindowPutsItIntoTheTray) {
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  TMainForm form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible() && TrayHostIcons().size() == 1; },
                              kWaitMs));
  EXPECT_TRUE(AppSettings.ISMINIMIZE);
  EXPECT_EQ(form.Tray()->Icon()->toolTip(), QString::fromUtf8("防犯カメラ・ヴァルド"));
  // The program's own icon, not a stand-in.
  ASSERT_FALSE(form.windowIcon().isNull());
  EXPECT_EQ(form.Tray()->Icon()->icon().cacheKey(), form.windowIcon().cacheKey());
  // In the tray it wakes seldom, and still brings the window back when the
  // tray host goes.
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.ShowAfterTimer->interval() == kTrayWatchMs; }, kWaitMs));
  session->StopTrayHost();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.isVisible(); }, kWaitMs)) << "no icon and no window";
  session->StartTrayHost();
}

// The real program, run after run: the tray state carried across, the exit
// from the tray, and the icon gone with the program.
class TrayProgramTest : public ::testing::Test {
protected:
  // Where "終了" lies inside the main window: its designed place below a
  // menu bar of about 20 pixels.
  const QPoint kEndButtonInWindow{710, 104};

  void SetUp() override { session->StartTrayHost(); }

  void Start() { program = ChildProcess({VARDOCAM_PROGRAM}, folders.Options()); }
  bool Ended() { return program.Wait(kWaitMs * 2) == 0; }
  bool SavedTrayState() {
    typVardocam settings;
    LoadSettingsFrom(ZBRegIni(folders.config.Path() + "/Korvane/Vardocam.reg"), settings);
    return settings.ISMINIMIZE;
  }

  static bool InTray() { return TrayHostIcons().size() == 1 && !MainWindowOnScreen(); }
  static bool OnScreen() { return TrayHostIcons().empty() && MainWindowOnScreen(); }

  ProgramFolders folders;
  ChildProcess program;
};

TEST_F(TrayProgramTest, EndedInTheTrayItStartsThereAgainEndedOnScreenItStaysOnScreen) {
  WriteSettingsFile(folders.config.Path(), {{"ISMINIMIZE", "dword:00000001"}});
  Start();
  ASSERT_TRUE(QTest::qWaitFor(InTray, kWaitMs * 2)) << ReadFileBytes(folders.work.File("program.log"));
  // The tray menu's "終了(&X)"; the key goes again should the menu have
  // been slow to take the keyboard on a loaded machine.
  const QPoint icon = TrayHostIcons().front().center();
  for (int attempt = 0; attempt < 3 && program.Running(); ++attempt) {
    Click(icon, "3");
    QTest::qWait(500);
    RunTool("xdotool", {"key", "x"});
    program.Wait(kWaitMs / 2);
  }
  ASSERT_TRUE(Ended());
  EXPECT_TRUE(TrayHostIcons().empty()) << "the icon outlived the program";
  EXPECT_TRUE(SavedTrayState());

  // Started again it goes back into the tray; a left click brings it back.
  Start();
  ASSERT_TRUE(QTest::qWaitFor(InTray, kWaitMs * 2));
  Click(TrayHostIcons().front().center(), "1");
  ASSERT_TRUE(QTest::qWaitFor(OnScreen, kWaitMs));
  Click(MainWindowOnScreen()->topLeft() + kEndButtonInWindow, "1");
  ASSERT_TRUE(Ended());
  EXPECT_FALSE(SavedTrayState());

  // Ended on screen, the next start stays on screen.
  Start();
  ASSERT_TRUE(QTest::qWaitFor(OnScreen, kWaitMs * 2));
  QTest::qWait(500);
  EXPECT_TRUE(OnScreen());
  Click(MainWindowOnScreen()->topLeft() + kEndButtonInWindow, "1");
  EXPECT_TRUE(Ended());
}

} // namespace
