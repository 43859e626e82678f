// The tray on a desktop without one (Qt's offscreen platform has none): a
// minimise stays an ordinary minimise, and the state is still kept.
#include <QMainWindow>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "app/Tray.h"
#include "settings/Vardocamdef.h"

TEST(TrayWithoutTray, AMinimiseStaysOrdinaryTheStateIsKeptAndARestoreClearsIt) {
  App();
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  QMainWindow window;
  QMenu menu(&window);
  TTray tray(&window, &menu, menu.addAction("show"), menu.addAction("exit"));
  QTimer showAfter;
  showAfter.setInterval(10);
  QObject::connect(&showAfter, &QTimer::timeout, &tray, &TTray::ShowAfterTimerTimer);

  // Started in the tray state: minimised at the first tick, never hidden.
  AppSettings.ISMINIMIZE = true;
  window.show();
  showAfter.start();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.isMinimized(); }, 1000));
  EXPECT_TRUE(window.isVisible()) << "no icon, so the window must stay";
  EXPECT_FALSE(tray.Icon()->isVisible());

  // Restored by the desktop: back on screen, and the timer leaves it there.
  window.showNormal();
  EXPECT_FALSE(AppSettings.ISMINIMIZE);
  QTest::qWait(50);
  EXPECT_FALSE(window.isMinimized());

  // Minimised again by the user: the same, with the state kept.
  window.showMinimized();
  QTest::qWait(50);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(AppSettings.ISMINIMIZE);
}
