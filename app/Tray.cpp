#include "app/Tray.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoopLocker>
#include <QMainWindow>
#include <QMenu>
#include <QStyle>

#include "platform/ProgramName.h"
#include "settings/Vardocamdef.h"

TTray::TTray(QMainWindow* window, QMenu* popupMenu, QAction* dispMenu, QAction* exitMenu,
             Hooks hooks)
    : QObject(window), window_(window), popupMenu_(popupMenu), hooks_(std::move(hooks)),
      icon_(new QSystemTrayIcon(this)) {
  setObjectName("Tray");
  if (!hooks_.SaveSettings) hooks_.SaveSettings = [] { SaveSettings(); };
  if (!hooks_.CloseWindow) hooks_.CloseWindow = [this] { return window_->close(); };
  icon_->setObjectName("TrayIcon");
  icon_->setToolTip(QString::fromUtf8(kDisplayName));
  // The menu is popped up here, after the window is brought forward, so it
  // is not handed to the icon.
  connect(icon_, &QSystemTrayIcon::activated, this, &TTray::TrayIconMessage);
  connect(dispMenu, &QAction::triggered, this, &TTray::TrayDispMenuClick);
  connect(exitMenu, &QAction::triggered, this, &TTray::TrayExitMenuClick);
  // The icon goes with the program, wherever the end comes from.
  connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
    ended_ = true;
    RemoveIcon();
  });
  window_->installEventFilter(this);
}

TTray::~TTray() { RemoveIcon(); }

void TTray::UpdateIcon() {
  QIcon icon = window_->windowIcon();
  if (icon.isNull()) icon = QApplication::windowIcon();
  // Without any icon the tray would refuse it and leave the window hidden.
  if (icon.isNull()) icon = window_->style()->standardIcon(QStyle::SP_ComputerIcon);
  if (icon.cacheKey() != icon_->icon().cacheKey()) icon_->setIcon(icon);
}

void TTray::RemoveIcon() { icon_->hide(); }

void TTray::MinimizeToTray() {
  if (ended_) return;
  changingState_ = true;
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    UpdateIcon();
    icon_->show();
    if (!keepRunning_) keepRunning_ = std::make_unique<QEventLoopLocker>();
    window_->hide();
  } else {
    // No tray to come back from: never leave the window hidden.
    icon_->hide();
    if (window_->isHidden() || !window_->isMinimized()) window_->showMinimized();
    keepRunning_.reset();
  }
  changingState_ = false;
  AppSettings.ISMINIMIZE = true;
}

void TTray::RestoreFromTray() {
  if (ended_) return;
  changingState_ = true;
  if (window_->isMinimized()) window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
  icon_->hide();
  AppSettings.ISMINIMIZE = false;
  window_->show();
  window_->raise();
  window_->activateWindow();
  keepRunning_.reset();
  changingState_ = false;
}

void TTray::ShowAfterTimerTimer() {
  if (AppSettings.ISMINIMIZE) MinimizeToTray();
}

void TTray::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
  case QSystemTrayIcon::Trigger:
    RestoreFromTray();
    break;
  case QSystemTrayIcon::Context: {
    const QPoint at = QCursor::pos();
    window_->raise();
    window_->activateWindow();
    popupMenu_->popup(at);
    break;
  }
  default:
    // The rest of a double click, and the middle button, do nothing.
    break;
  }
}

void TTray::TrayDispMenuClick() { RestoreFromTray(); }

void TTray::TrayExitMenuClick() {
  AppSettings.WINDOW_LEFT = window_->x();
  AppSettings.WINDOW_TOP = window_->y();
  hooks_.SaveSettings();
  // ISMINIMIZE is still set: the next start goes back into the tray.
  if (!hooks_.CloseWindow()) return;
  ended_ = true;
  RemoveIcon();
  keepRunning_.reset();
}

bool TTray::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_ && event->type() == QEvent::WindowStateChange && !changingState_ &&
      !ended_) {
    if (window_->isMinimized()) {
      // Hiding from inside the state change upsets some window managers.
      QMetaObject::invokeMethod(
          this, [this] { if (window_->isMinimized()) MinimizeToTray(); }, Qt::QueuedConnection);
    } else if (AppSettings.ISMINIMIZE && window_->isVisible()) {
      // Restored by the desktop (no tray): the window is back on screen.
      AppSettings.ISMINIMIZE = false;
    }
  }
  return QObject::eventFilter(watched, event);
}
